// SPDX-License-Identifier: BSD-2-Clause
// The readable status file: ten lines from the two stored texts and the fix. Pure.
#pragma once

#include <cstddef>

#include "base/text_capacity.h"
#include "report/fix_extraction.h"

// Room for both stored texts whole and the eight short lines after them.
constexpr size_t status_text_capacity = 2 * text_capacity + 512;

// Formats the status text into `out`. Returns its length, or 0 when it does
// not fit in `capacity` (a cut status must never be published).
size_t format_status_text(char *out, size_t capacity, const char *rmc_text, const char *gga_text,
                          const fix_values &fix);
