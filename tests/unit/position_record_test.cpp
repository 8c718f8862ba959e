// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "report/fix_extraction.h"
#include "report/position_record.h"
#include "reference.h"

namespace {

fix_values example_fix()
{
    fix_values fix;
    extract_fix(example_gga.c_str(), example_rmc.c_str(), &fix);
    return fix;
}

std::string file_of(const fix_values &fix, bool alarm)
{
    unsigned char file[position_file_size];
    position_file_bytes(fix, alarm, file);
    return std::string(reinterpret_cast<char *>(file), sizeof file);
}

TEST(PositionRecord, RoundsHalvesAwayFromZeroAndSaturates)
{
    const double int_max = 2147483647, int_min = -2147483648.0;
    const struct { double x, rounded; } cases[] = {
        {2.5, 3}, {-2.5, -3}, {2.4999, 2}, {-2.4999, -2}, {0.4, 0}, {-0.4, 0}, {719.99, 720}, {NAN, 0},
        {2147483646.5, int_max}, {int_max, int_max}, {2147483647.5, int_max}, {1e300, int_max}, {HUGE_VAL, int_max},
        {int_min, int_min}, {-2147483648.5, int_min}, {-1e300, int_min}, {-HUGE_VAL, int_min},
    };
    for (auto &c : cases)
        EXPECT_EQ(round_half_away(c.x), c.rounded) << c.x;
}

TEST(PositionRecord, TheExampleExactlyAndTheSum)
{
    fix_values fix = example_fix();
    record_quantities q = quantities_of(fix);
    EXPECT_EQ(std::make_tuple(q.time, q.lat, q.lon, q.course, q.speed, q.alt),
              std::make_tuple(378u, 3218271u, 4462530u, 17u, 12u, 109u));
    EXPECT_EQ(file_of(fix, false), example_record);
    EXPECT_EQ(file_of(fix, true), alarm_record);
    // The sum adds the ten bytes as unsigned.
    unsigned char ones[position_record_size], zero[position_record_size] = {};
    std::fill(ones, ones + position_record_size, 0xFF);
    EXPECT_EQ(record_sum(ones), 2550);
    EXPECT_EQ(record_sum(zero), 0);
}

// The bits of one field of the record, numbered as in the layout (bit 79 is the top bit of byte 0).
uint32_t record_bits(const unsigned char *record, int high, int low)
{
    uint32_t value = 0;
    for (int bit = high; bit >= low; bit--) {
        int from_top = 79 - bit;
        value = value << 1 | ((record[from_top / 8] >> (7 - from_top % 8)) & 1);
    }
    return value;
}

// Each quantity and the bits it takes in the record.
enum quantity { TIME, LAT, LON, COURSE, SPEED, ALT };
const struct { uint32_t record_quantities::*member; int high, low; } layout[] = {
    {&record_quantities::time, 47, 38}, {&record_quantities::lat, 37, 16},   {&record_quantities::lon, 76, 54},
    {&record_quantities::course, 53, 48}, {&record_quantities::speed, 15, 10}, {&record_quantities::alt, 9, 0}};

TEST(PositionRecord, QuantitiesAtAndBeyondTheirFieldsKeepOnlyTheirLowBits)
{
    // Each row: a change to the example fix, the field it touches, and the quantity (the record keeps its low bits).
    const struct { const char *what; void (*change)(fix_values *); quantity field; uint32_t value; } cases[] = {
        {"23:59:59", [](fix_values *f) { f->seconds_of_day = 86399; }, TIME, 720},
        {"midnight", [](fix_values *f) { f->seconds_of_day = 0; }, TIME, 0},
        {"negative time", [](fix_values *f) { f->seconds_of_day = -3723; }, TIME, 0},
        {"90 N", [](fix_values *f) { f->latitude = 90; }, LAT, 4194180},
        {"90 S", [](fix_values *f) { f->latitude = -90; }, LAT, 0},
        {"beyond 90 S", [](fix_values *f) { f->latitude = -100; }, LAT, 0},
        {"-infinite latitude", [](fix_values *f) { f->latitude = -HUGE_VALF; }, LAT, 0},
        {"180 E", [](fix_values *f) { f->longitude = 180; }, LON, 8388360},
        {"beyond 180 W", [](fix_values *f) { f->longitude = -181; }, LON, 0},
        {"negative course", [](fix_values *f) { f->course = -10; }, COURSE, 0},
        {"317.4 degrees", [](fix_values *f) { f->course = 317.4f; }, COURSE, 63},
        {"317.5 degrees, kept as 0", [](fix_values *f) { f->course = 317.5f; }, COURSE, 64},
        {"360 degrees, kept as 8", [](fix_values *f) { f->course = 360; }, COURSE, 72},
        {"infinite course, kept as 63", [](fix_values *f) { f->course = HUGE_VALF; }, COURSE, 2147483647},
        {"negative speed", [](fix_values *f) { f->speed = -3; }, SPEED, 0},
        {"NaN speed", [](fix_values *f) { f->speed = NAN; }, SPEED, 0},
        {"123.4 knots is 63.48 m/s", [](fix_values *f) { f->speed = 123.4f; }, SPEED, 63},
        {"123.5 knots is 63.53 m/s, kept as 0", [](fix_values *f) { f->speed = 123.5f; }, SPEED, 64},
        {"5117.4 m", [](fix_values *f) { f->altitude = 5117.4f; }, ALT, 1023},
        {"5117.5 m, kept as 0", [](fix_values *f) { f->altitude = 5117.5f; }, ALT, 1024},
        {"5200 m, kept as 16", [](fix_values *f) { f->altitude = 5200; }, ALT, 1040},
        {"NaN altitude", [](fix_values *f) { f->altitude = NAN; }, ALT, 0},
    };
    unsigned char example[position_record_size];
    pack_position_record(example_fix(), false, example);
    for (auto &c : cases) {
        fix_values fix = example_fix();
        c.change(&fix);
        const auto &field = layout[c.field];
        EXPECT_EQ(quantities_of(fix).*field.member, c.value) << c.what;
        unsigned char record[position_record_size];
        pack_position_record(fix, false, record);
        EXPECT_EQ(record_bits(record, field.high, field.low), c.value & ((1u << (field.high - field.low + 1)) - 1))
            << c.what;
        // Nothing spills into the neighbouring fields or the three top bits.
        EXPECT_EQ(record_bits(record, 79, 77), 0u) << c.what;
        for (int bit = 0; bit < 77; bit++) {
            if (bit > field.high || bit < field.low) {
                ASSERT_EQ(record_bits(record, bit, bit), record_bits(example, bit, bit)) << c.what << " bit " << bit;
            }
        }
    }
}

} // namespace
