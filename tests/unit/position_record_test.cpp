// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

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
    struct {
        double x, rounded;
    } cases[] = {
        {2.5, 3},
        {-2.5, -3},
        {2.4999, 2},
        {-2.4999, -2},
        {0.4, 0},
        {-0.4, 0},
        {719.99, 720},
        {2147483646.5, 2147483647},
        {2147483647.0, 2147483647},
        {2147483647.5, 2147483647},
        {1e300, 2147483647},
        {HUGE_VAL, 2147483647},
        {-2147483648.0, -2147483648.0},
        {-2147483648.5, -2147483648.0},
        {-1e300, -2147483648.0},
        {-HUGE_VAL, -2147483648.0},
        {NAN, 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(round_half_away(c.x), c.rounded) << c.x;
}

TEST(PositionRecord, TheExampleExactly)
{
    fix_values fix = example_fix();
    record_quantities q = quantities_of(fix);
    EXPECT_EQ(std::make_tuple(q.time, q.lat, q.lon, q.course, q.speed, q.alt),
              std::make_tuple(378u, 3218271u, 4462530u, 17u, 12u, 109u));
    EXPECT_EQ(file_of(fix, false), example_record);
    EXPECT_EQ(file_of(fix, true), alarm_record);
}

TEST(PositionRecord, QuantitiesAtAndBeyondTheirFields)
{
    fix_values base = example_fix();
    struct {
        const char *what;
        void (*change)(fix_values *);
        uint32_t record_quantities::*quantity;
        uint32_t value;
    } cases[] = {
        {"23:59:59", [](fix_values *f) { f->seconds_of_day = 86399; }, &record_quantities::time, 720},
        {"midnight", [](fix_values *f) { f->seconds_of_day = 0; }, &record_quantities::time, 0},
        {"negative time", [](fix_values *f) { f->seconds_of_day = -3723; }, &record_quantities::time, 0},
        {"90 N", [](fix_values *f) { f->latitude = 90; }, &record_quantities::lat, 4194180},
        {"90 S", [](fix_values *f) { f->latitude = -90; }, &record_quantities::lat, 0},
        {"beyond 90 S", [](fix_values *f) { f->latitude = -100; }, &record_quantities::lat, 0},
        {"180 E", [](fix_values *f) { f->longitude = 180; }, &record_quantities::lon, 8388360},
        {"beyond 180 W", [](fix_values *f) { f->longitude = -181; }, &record_quantities::lon, 0},
        {"negative course", [](fix_values *f) { f->course = -10; }, &record_quantities::course, 0},
        {"negative speed", [](fix_values *f) { f->speed = -3; }, &record_quantities::speed, 0},
        {"5200 m", [](fix_values *f) { f->altitude = 5200; }, &record_quantities::alt, 1040},
        {"infinite course", [](fix_values *f) { f->course = HUGE_VALF; }, &record_quantities::course, 2147483647},
        {"NaN speed", [](fix_values *f) { f->speed = NAN; }, &record_quantities::speed, 0},
        {"-infinite latitude", [](fix_values *f) { f->latitude = -HUGE_VALF; }, &record_quantities::lat, 0},
    };
    for (auto &c : cases) {
        fix_values fix = base;
        c.change(&fix);
        EXPECT_EQ(quantities_of(fix).*c.quantity, c.value) << c.what;
    }
}

// The bits of one field of the record, numbered as in the layout (bit 79 is
// the top bit of byte 0).
uint32_t record_bits(const unsigned char *record, int high, int low)
{
    uint32_t value = 0;
    for (int bit = high; bit >= low; bit--) {
        int from_top = 79 - bit;
        value = value << 1 | ((record[from_top / 8] >> (7 - from_top % 8)) & 1);
    }
    return value;
}

TEST(PositionRecord, FieldsKeepOnlyTheirLowBits)
{
    struct {
        const char *what;
        void (*change)(fix_values *);
        int high, low;
        uint32_t bits;
    } cases[] = {
        {"5200 m is 1040, kept as 16", [](fix_values *f) { f->altitude = 5200; }, 9, 0, 16},
        {"5117.4 m still fits", [](fix_values *f) { f->altitude = 5117.4f; }, 9, 0, 1023},
        {"5117.5 m wraps", [](fix_values *f) { f->altitude = 5117.5f; }, 9, 0, 0},
        {"317.4 degrees is 63", [](fix_values *f) { f->course = 317.4f; }, 53, 48, 63},
        {"317.5 degrees is 64, kept as 0", [](fix_values *f) { f->course = 317.5f; }, 53, 48, 0},
        {"360 degrees is 72, kept as 8", [](fix_values *f) { f->course = 360; }, 53, 48, 8},
        {"123.5 knots is 63.53 m/s, wraps", [](fix_values *f) { f->speed = 123.5f; }, 15, 10, 0},
        {"123.4 knots is 63.48 m/s", [](fix_values *f) { f->speed = 123.4f; }, 15, 10, 63},
        {"23:59:59", [](fix_values *f) { f->seconds_of_day = 86399; }, 47, 38, 720},
        {"infinite course keeps 6 bits of the saturated value", [](fix_values *f) { f->course = HUGE_VALF; }, 53, 48,
         63},
        {"NaN altitude", [](fix_values *f) { f->altitude = NAN; }, 9, 0, 0},
    };
    for (auto &c : cases) {
        fix_values fix = example_fix();
        c.change(&fix);
        unsigned char record[position_record_size];
        pack_position_record(fix, false, record);
        EXPECT_EQ(record_bits(record, c.high, c.low), c.bits) << c.what;
        // Nothing spills into the neighbouring fields or the two top bits.
        EXPECT_EQ(record_bits(record, 79, 77), 0u) << c.what;
        unsigned char example[position_record_size];
        pack_position_record(example_fix(), false, example);
        for (int bit = 0; bit < 80; bit++) {
            if (bit <= c.high && bit >= c.low)
                continue;
            ASSERT_EQ(record_bits(record, bit, bit), record_bits(example, bit, bit)) << c.what << " bit " << bit;
        }
    }
}

TEST(PositionRecord, TheSumAddsTheTenBytesAsUnsigned)
{
    unsigned char record[position_record_size];
    for (auto &byte : record)
        byte = 0xFF;
    EXPECT_EQ(record_sum(record), 2550);
    unsigned char zero[position_record_size] = {};
    EXPECT_EQ(record_sum(zero), 0);
}

} // namespace
