// SPDX-License-Identifier: BSD-2-Clause
// Splitting an NMEA text into its comma-separated fields. Pure.
#pragma once

#include <cstddef>

// Room for one field and its terminator: longer fields are cut to 19 characters.
constexpr size_t field_capacity = 20;

// Copies the field that starts at `source` (up to the first `delimiter` or the
// end of the text) into `destination`, cut to capacity - 1 characters and
// terminated. Returns where the next field starts, or nullptr when this field
// ended the text or the delimiter was its last character (an empty last
// field counts as no field).
const char *next_field(const char *source, char *destination, size_t capacity, char delimiter);
