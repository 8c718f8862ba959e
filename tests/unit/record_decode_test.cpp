// Reading the 12-byte position record back: field positions, the sum, and
// the units each field stands for.
#include <cmath>

#include <gtest/gtest.h>

#include "record/record_decode.h"

namespace {

// The record of 12:35:19, 48.1173 N 11.5167 E, course 84.4, 22.4 knots,
// altitude 545.4 m.
const uint8_t munich[12] = {0x11, 0x05, 0xF0, 0x91, 0x5E, 0xB1, 0x1B, 0x5F, 0x30, 0x6D, 0x03, 0xBD};

TEST(RecordDecode, FieldsOfAKnownRecord)
{
    record_fields r = decode_position_record(munich);
    EXPECT_EQ(r.time, 378u);
    EXPECT_EQ(r.latitude, 3218271u);
    EXPECT_EQ(r.longitude, 4462530u);
    EXPECT_EQ(r.course, 17u);
    EXPECT_EQ(r.speed, 12u);
    EXPECT_EQ(r.altitude, 109u);
    EXPECT_FALSE(r.alarm);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_NEAR(record_latitude(r), 48.1173, 1.0 / 23301);
    EXPECT_NEAR(record_longitude(r), 11.5167, 1.0 / 23301);
    EXPECT_EQ(record_seconds_of_day(r), 378 * 120.0);
}

TEST(RecordDecode, AlarmBitAndSum)
{
    uint8_t alarmed[12];
    std::copy(munich, munich + 12, alarmed);
    alarmed[0] = 0x31;
    alarmed[11] = 0xDD;
    record_fields r = decode_position_record(alarmed);
    EXPECT_TRUE(r.alarm);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_EQ(r.longitude, 4462530u); // the alarm bit is not part of the longitude

    alarmed[11] = 0xBD; // the sum of the record without the alarm
    EXPECT_FALSE(decode_position_record(alarmed).sum_ok);
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

} // namespace
