// SPDX-License-Identifier: BSD-2-Clause
// Each output's filter (-f) at work: its limit timers, and the lines of the
// text being relayed that it lets through.
#pragma once

#include <cstddef>

#include "base/sentence_filter.h"

// Forgets every limit timer, as at start-up.
void output_filters_reset();

// For each output with a filter, judges the lines of `text` and points
// out[output] at those that pass (out_length 0 when none does), counting
// those held back; the other outputs keep the text as given. The texts
// stay valid until the next call. relay_thread only.
void output_filters_apply(const char *text, size_t length, line_source from, long long now_us,
                          const char *out[filter_outputs], size_t out_length[filter_outputs]);
