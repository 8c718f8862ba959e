// SPDX-License-Identifier: BSD-2-Clause
// The fix read from the latest GGA and RMC texts. Pure: nothing is validated,
// empty or malformed fields give zeros (or whatever atof and atoi make of them).
#pragma once

#include <cstddef>

// Knots to metres per second, as both reports convert the speed.
constexpr double metres_per_second_per_knot = 0.514444;

struct fix_values {
    int hours, minutes, seconds; // RMC field 1, pair by pair
    float seconds_of_day;        // hours * 3600 + minutes * 60 + seconds
    bool void_fix;               // RMC field 2 begins with V
    float latitude;              // degrees, north positive (RMC fields 3 and 4)
    float longitude;             // degrees, east positive (RMC fields 5 and 6)
    float speed;                 // knots (RMC field 7)
    float course;                // degrees (RMC field 8)
    int day, month, year;        // RMC field 9, pair by pair, year in two digits
    float altitude;              // metres, never below 0 (GGA field 9)
};

// The first sentence of `type` ("GGA" or "RMC") among the first `length`
// characters of `text` (none of them NUL), or nullptr when there is none.
// A sentence starts at the beginning of the text or right after a line end
// (CR or LF) with "$", two characters of talker (no line end, and not
// starting with "P", which marks a proprietary sentence), the type and a
// comma. So "GGA" or "RMC" inside another sentence (an AIS payload, a TXT
// message, "$PGRMC") never counts, not even after a "$" in the middle of a
// line. Talker and checksum are not checked.
const char *find_sentence(const char *text, size_t length, const char *type);

// Extracts the fix from the two stored texts: the RMC fields from the first
// RMC sentence of `rmc_text`, the altitude from the first GGA sentence of
// `gga_text`, each read up to the end of its line (line end included). A text
// without such a sentence gives what empty fields give.
void extract_fix(const char *gga_text, const char *rmc_text, fix_values *fix);
