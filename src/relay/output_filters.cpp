// SPDX-License-Identifier: BSD-2-Clause
#include "relay/output_filters.h"

#include <cstring>

#include "base/counters.h"
#include "base/settings.h"
#include "base/text_capacity.h"

// Owned by relay_thread alone: each output keeps its own timers, so one
// output's limit never thins another's lines.
struct output_filters_record {
    filter_state state[filter_outputs];
    char text[filter_outputs][text_capacity]; // the lines that passed, NUL-ended
};
static output_filters_record output_filters;

void output_filters_reset()
{
    memset(output_filters.state, 0, sizeof output_filters.state);
}

void output_filters_apply(const char *text, size_t length, line_source from, long long now_us,
                          const char *out[filter_outputs], size_t out_length[filter_outputs])
{
    for (int o = 0; o < filter_outputs; o++) {
        const sentence_filter &filter = settings.filters[o];
        // Without -w the serial output carries nothing: nothing to judge or count.
        if (filter.rule_count == 0 || (o == output_serial && !settings.write_serial))
            continue;
        unsigned held;
        out_length[o] = filter_text(filter, &output_filters.state[o], text, length, from, now_us,
                                    output_filters.text[o], &held);
        out[o] = output_filters.text[o];
        count_many(counters.filtered[o], held);
    }
}
