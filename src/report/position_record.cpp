// SPDX-License-Identifier: BSD-2-Clause
#include "report/position_record.h"

// 1/23301 degree: 180 degrees fit 22 bits and 360 degrees 23 bits.
constexpr float degree_steps = 23301.0f;

double round_half_away(double x)
{
    if (x != x)
        return 0;
    double shifted = x < 0 ? x - 0.5 : x + 0.5;
    // Beyond these, truncating to 32 bits would be undefined.
    if (shifted >= 2147483648.0)
        return 2147483647.0;
    if (shifted <= -2147483649.0)
        return -2147483648.0;
    return static_cast<double>(static_cast<int32_t>(shifted));
}

static uint32_t quantity(double x)
{
    double rounded = round_half_away(x);
    return rounded < 0 ? 0 : static_cast<uint32_t>(rounded);
}

record_quantities quantities_of(const fix_values &fix)
{
    // Every step rounds to single precision; only the rounding itself is double.
    record_quantities q;
    q.time = quantity(fix.seconds_of_day / 120.0f);
    q.lat = quantity((fix.latitude + 90.0f) * degree_steps);
    q.lon = quantity((fix.longitude + 180.0f) * degree_steps);
    q.course = quantity(fix.course / 5.0f);
    q.speed = quantity(static_cast<double>(fix.speed) * metres_per_second_per_knot);
    q.alt = quantity(fix.altitude / 5.0f);
    return q;
}

void pack_position_record(const fix_values &fix, bool alarm, unsigned char *record)
{
    record_quantities q = quantities_of(fix);
    uint32_t time = q.time & 0x3ff, lat = q.lat & 0x3fffff, lon = q.lon & 0x7fffff;
    uint32_t course = q.course & 0x3f, speed = q.speed & 0x3f, alt = q.alt & 0x3ff;
    record[0] = static_cast<unsigned char>((alarm ? 0x20 : 0) | lon >> 18);
    record[1] = static_cast<unsigned char>(lon >> 10);
    record[2] = static_cast<unsigned char>(lon >> 2);
    record[3] = static_cast<unsigned char>(lon << 6 | course);
    record[4] = static_cast<unsigned char>(time >> 2);
    record[5] = static_cast<unsigned char>(time << 6 | lat >> 16);
    record[6] = static_cast<unsigned char>(lat >> 8);
    record[7] = static_cast<unsigned char>(lat);
    record[8] = static_cast<unsigned char>(speed << 2 | alt >> 8);
    record[9] = static_cast<unsigned char>(alt);
}

uint16_t record_sum(const unsigned char *record)
{
    unsigned sum = 0;
    for (size_t i = 0; i < position_record_size; i++)
        sum += record[i];
    return static_cast<uint16_t>(sum);
}

void position_file_bytes(const fix_values &fix, bool alarm, unsigned char *file)
{
    pack_position_record(fix, alarm, file);
    uint16_t sum = record_sum(file);
    file[position_record_size] = static_cast<unsigned char>(sum >> 8);
    file[position_record_size + 1] = static_cast<unsigned char>(sum);
}
