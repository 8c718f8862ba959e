// SPDX-License-Identifier: BSD-2-Clause
// Reading the daemon's 12-byte position record ("/tmp/sbd10.status"): ten
// bit-packed bytes and their sum, high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t record_file_size = 12;

// The raw fields, and the values they stand for.
struct record_fields {
    bool alarm;
    uint32_t time, latitude, longitude, course, speed, altitude; // raw field values
    bool sum_ok;                                                  // bytes 10-11 match the sum of bytes 0-9
};

// Unpacks the 12 bytes of the record file.
record_fields decode_position_record(const uint8_t *bytes);

// The quantities in their units: seconds of the UTC day (to 2 minutes),
// degrees north and east, degrees of course, metres per second, metres.
double record_seconds_of_day(const record_fields &r);
double record_latitude(const record_fields &r);
double record_longitude(const record_fields &r);
