// SPDX-License-Identifier: BSD-2-Clause
// Reading the 12-byte position record back: field positions, the sum, and the units each field stands for.
#include <algorithm>
#include <numeric>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "record/record_decode.h"
#include "report/position_record.h"
#include "reference.h"

namespace {

record_fields decode(const std::string &record)
{
    return decode_position_record(reinterpret_cast<const uint8_t *>(record.data()));
}

TEST(RecordDecode, FieldsAlarmAndSumOfKnownRecords)
{
    // 12:35:19, 48.1173 N 11.5167 E, course 84.4, 22.4 knots, 545.4 m.
    record_fields r = decode(example_record);
    EXPECT_EQ(std::make_tuple(r.time, r.latitude, r.longitude, r.course, r.speed, r.altitude, r.alarm, r.sum_ok),
              std::make_tuple(378u, 3218271u, 4462530u, 17u, 12u, 109u, false, true));
    EXPECT_NEAR(record_latitude(r), 48.1173, 1.0 / 23301);
    EXPECT_NEAR(record_longitude(r), 11.5167, 1.0 / 23301);
    EXPECT_EQ(record_seconds_of_day(r), 378 * 120.0);
    // The alarm bit is not part of the longitude.
    r = decode(alarm_record);
    EXPECT_EQ(std::make_tuple(r.longitude, r.alarm, r.sum_ok), std::make_tuple(4462530u, true, true));
    EXPECT_FALSE(decode(alarm_record.substr(0, 10) + example_record.substr(10)).sum_ok);
}

TEST(RecordDecode, EachFieldFromItsOwnBits)
{
    // One field at its largest value at a time, the others zero: nothing leaks into a neighbour.
    const struct { uint8_t bytes[12]; uint32_t record_fields::*field; uint32_t value; } cases[] = {
        {{0x1F, 0xFF, 0xFF, 0xC0}, &record_fields::longitude, 0x7FFFFF},
        {{0, 0, 0, 0x3F}, &record_fields::course, 63},
        {{0, 0, 0, 0, 0xFF, 0xC0}, &record_fields::time, 1023},
        {{0, 0, 0, 0, 0, 0x3F, 0xFF, 0xFF}, &record_fields::latitude, 0x3FFFFF},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0xFC}, &record_fields::speed, 63},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xFF}, &record_fields::altitude, 1023},
    };
    for (auto &c : cases) {
        uint8_t bytes[12];
        std::copy(c.bytes, c.bytes + 10, bytes);
        unsigned sum = std::accumulate(bytes, bytes + 10, 0u);
        bytes[10] = static_cast<uint8_t>(sum >> 8);
        bytes[11] = static_cast<uint8_t>(sum);
        record_fields r = decode_position_record(bytes);
        EXPECT_TRUE(r.sum_ok);
        EXPECT_FALSE(r.alarm);
        for (auto field : {&record_fields::longitude, &record_fields::course, &record_fields::time,
                           &record_fields::latitude, &record_fields::speed, &record_fields::altitude})
            EXPECT_EQ(r.*field, field == c.field ? c.value : 0u);
    }
}

TEST(RecordDecode, ReadsBackWhatTheDaemonWrites)
{
    // Fixes across the ranges, with and without the alarm: every quantity packed comes back, cut to its field.
    const struct { fix_values fix; bool alarm; } cases[] = {
        {{0, 0, 0, 45319, false, 48.1173f, 11.5167f, 22.4f, 84.4f, 0, 0, 0, 545.4f}, false},
        {{0, 0, 0, 86399, false, -89.99f, -179.99f, 0, 0, 0, 0, 0, 0}, true},
        {{0, 0, 0, 0, false, 89.99f, 179.99f, 122.0f, 355.0f, 0, 0, 0, 5117.0f}, false},
        // Speed and altitude wrap.
        {{0, 0, 0, 3600, false, -33.8688f, 151.2093f, 240.0f, 359.9f, 0, 0, 0, 9000.0f}, true},
    };
    for (auto &c : cases) {
        unsigned char file[position_file_size];
        position_file_bytes(c.fix, c.alarm, file);
        record_fields r = decode_position_record(file);
        record_quantities q = quantities_of(c.fix);
        EXPECT_EQ(std::make_tuple(r.time, r.latitude, r.longitude, r.course, r.speed, r.altitude, r.alarm, r.sum_ok),
                  std::make_tuple(q.time & 0x3FFu, q.lat & 0x3FFFFFu, q.lon & 0x7FFFFFu, q.course & 0x3Fu,
                                  q.speed & 0x3Fu, q.alt & 0x3FFu, c.alarm, true));
        EXPECT_NEAR(record_latitude(r), c.fix.latitude, 1.0 / 23301);
        EXPECT_NEAR(record_longitude(r), c.fix.longitude, 1.0 / 23301);
    }
}

} // namespace
