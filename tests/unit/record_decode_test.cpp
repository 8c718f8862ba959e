// SPDX-License-Identifier: BSD-2-Clause
// Reading the 12-byte position record back: field positions, the sum, and
// the units each field stands for.
#include <algorithm>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "record/record_decode.h"
#include "report/position_record.h"
#include "reference.h"

namespace {

const uint8_t *bytes_of(const std::string &record)
{
    return reinterpret_cast<const uint8_t *>(record.data());
}

TEST(RecordDecode, FieldsOfAKnownRecord)
{
    // 12:35:19, 48.1173 N 11.5167 E, course 84.4, 22.4 knots, 545.4 m.
    record_fields r = decode_position_record(bytes_of(example_record));
    EXPECT_EQ(std::make_tuple(r.time, r.latitude, r.longitude, r.course, r.speed, r.altitude),
              std::make_tuple(378u, 3218271u, 4462530u, 17u, 12u, 109u));
    EXPECT_FALSE(r.alarm);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_NEAR(record_latitude(r), 48.1173, 1.0 / 23301);
    EXPECT_NEAR(record_longitude(r), 11.5167, 1.0 / 23301);
    EXPECT_EQ(record_seconds_of_day(r), 378 * 120.0);
}

TEST(RecordDecode, AlarmBitAndSum)
{
    record_fields r = decode_position_record(bytes_of(alarm_record));
    EXPECT_TRUE(r.alarm);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_EQ(r.longitude, 4462530u); // the alarm bit is not part of the longitude

    std::string stale_sum = alarm_record.substr(0, 10) + example_record.substr(10);
    EXPECT_FALSE(decode_position_record(bytes_of(stale_sum)).sum_ok);
}

TEST(RecordDecode, EachFieldFromItsOwnBits)
{
    // One field at its largest value at a time, the others zero: nothing
    // leaks into a neighbour.
    struct {
        uint8_t bytes[10];
        uint32_t record_fields::*field;
        uint32_t value;
    } cases[] = {
        {{0x1F, 0xFF, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0}, &record_fields::longitude, 0x7FFFFF},
        {{0, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0}, &record_fields::course, 63},
        {{0, 0, 0, 0, 0xFF, 0xC0, 0, 0, 0, 0}, &record_fields::time, 1023},
        {{0, 0, 0, 0, 0, 0x3F, 0xFF, 0xFF, 0, 0}, &record_fields::latitude, 0x3FFFFF},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0}, &record_fields::speed, 63},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xFF}, &record_fields::altitude, 1023},
    };
    uint32_t record_fields::*all[] = {&record_fields::longitude, &record_fields::course, &record_fields::time,
                                      &record_fields::latitude,  &record_fields::speed,  &record_fields::altitude};
    for (auto &c : cases) {
        uint8_t bytes[12] = {0};
        std::copy(c.bytes, c.bytes + 10, bytes);
        unsigned sum = 0;
        for (int i = 0; i < 10; i++)
            sum += bytes[i];
        bytes[10] = static_cast<uint8_t>(sum >> 8);
        bytes[11] = static_cast<uint8_t>(sum);
        record_fields r = decode_position_record(bytes);
        EXPECT_TRUE(r.sum_ok);
        EXPECT_FALSE(r.alarm);
        for (auto field : all)
            EXPECT_EQ(r.*field, field == c.field ? c.value : 0u);
    }
}

TEST(RecordDecode, ReadsBackWhatTheDaemonWrites)
{
    // Fixes across the ranges, with and without the alarm: every quantity
    // the daemon packs comes back from the reader, cut to its field.
    struct {
        float seconds_of_day, latitude, longitude, speed, course, altitude;
        bool alarm;
    } cases[] = {
        {45319, 48.1173f, 11.5167f, 22.4f, 84.4f, 545.4f, false},
        {86399, -89.99f, -179.99f, 0, 0, 0, true},
        {0, 89.99f, 179.99f, 122.0f, 355.0f, 5117.0f, false},
        {3600, -33.8688f, 151.2093f, 240.0f, 359.9f, 9000.0f, true}, // speed and altitude wrap
    };
    for (auto &c : cases) {
        fix_values fix = {};
        fix.seconds_of_day = c.seconds_of_day;
        fix.latitude = c.latitude;
        fix.longitude = c.longitude;
        fix.speed = c.speed;
        fix.course = c.course;
        fix.altitude = c.altitude;
        unsigned char file[position_file_size];
        position_file_bytes(fix, c.alarm, file);
        record_fields r = decode_position_record(file);
        record_quantities q = quantities_of(fix);
        EXPECT_TRUE(r.sum_ok);
        EXPECT_EQ(r.alarm, c.alarm);
        EXPECT_EQ(r.time, q.time & 0x3FFu);
        EXPECT_EQ(r.latitude, q.lat & 0x3FFFFFu);
        EXPECT_EQ(r.longitude, q.lon & 0x7FFFFFu);
        EXPECT_EQ(r.course, q.course & 0x3Fu);
        EXPECT_EQ(r.speed, q.speed & 0x3Fu);
        EXPECT_EQ(r.altitude, q.alt & 0x3FFu);
        EXPECT_NEAR(record_latitude(r), c.latitude, 1.0 / 23301);
        EXPECT_NEAR(record_longitude(r), c.longitude, 1.0 / 23301);
    }
}

} // namespace
