// SPDX-License-Identifier: BSD-2-Clause
// The compact position record: 80 bit-packed bits and a 16-bit sum. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/fix_extraction.h"

constexpr size_t position_record_size = 10;
// The record, then the sum of its bytes, high byte first.
constexpr size_t position_file_size = position_record_size + 2;

// Rounds halves away from zero (2.5 gives 3, -2.5 gives -3) to a whole number
// in the signed 32-bit range: beyond it the result saturates, NaN gives 0.
double round_half_away(double x);

// The quantities of the record before they are cut to their fields.
struct record_quantities {
    uint32_t time;   // seconds of day / 120
    uint32_t lat;    // (latitude + 90) * 23301
    uint32_t lon;    // (longitude + 180) * 23301
    uint32_t course; // course / 5
    uint32_t speed;  // metres per second
    uint32_t alt;    // altitude / 5
};

// Rounded with round_half_away; a negative quantity (only malformed fields
// give one) is 0.
record_quantities quantities_of(const fix_values &fix);

// Packs the fix into the 10 record bytes; each quantity keeps only the low
// bits its field has, so a value too large for it wraps.
void pack_position_record(const fix_values &fix, bool alarm, unsigned char *record);

// The sum of the 10 record bytes modulo 65536.
uint16_t record_sum(const unsigned char *record);

// The 12 bytes of the file: the record and its sum, high byte first.
void position_file_bytes(const fix_values &fix, bool alarm, unsigned char *file);
