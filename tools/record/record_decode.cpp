// SPDX-License-Identifier: BSD-2-Clause
#include "record_decode.h"

// Degrees per step of the latitude and longitude fields.
constexpr double angle_steps_per_degree = 23301.0;

// `width` bits ending `low_bit` bits above the least significant bit of the
// 80-bit record held in bytes 0-9, most significant byte first.
static uint32_t field(const uint8_t *bytes, int low_bit, int width)
{
    uint32_t value = 0;
    for (int bit = low_bit + width - 1; bit >= low_bit; bit--) {
        int byte = 9 - bit / 8;
        value = value << 1 | ((bytes[byte] >> (bit % 8)) & 1U);
    }
    return value;
}

record_fields decode_position_record(const uint8_t *bytes)
{
    record_fields r;
    r.alarm = field(bytes, 77, 1) != 0;
    r.longitude = field(bytes, 54, 23);
    r.course = field(bytes, 48, 6);
    r.time = field(bytes, 38, 10);
    r.latitude = field(bytes, 16, 22);
    r.speed = field(bytes, 10, 6);
    r.altitude = field(bytes, 0, 10);
    unsigned sum = 0;
    for (int i = 0; i < 10; i++)
        sum += bytes[i];
    r.sum_ok = (sum & 0xFFFFU) == (static_cast<unsigned>(bytes[10]) << 8 | bytes[11]);
    return r;
}

double record_seconds_of_day(const record_fields &r)
{
    return r.time * 120.0;
}

double record_latitude(const record_fields &r)
{
    return r.latitude / angle_steps_per_degree - 90.0;
}

double record_longitude(const record_fields &r)
{
    return r.longitude / angle_steps_per_degree - 180.0;
}
