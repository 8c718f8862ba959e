// SPDX-License-Identifier: BSD-2-Clause
// Waits reckoned on the monotonic clock.
#include <gtest/gtest.h>

#include <climits>

#include "base/monotonic_clock.h"

TEST(MonotonicClock, APollTimeoutIsNeverMinusOneWhateverTheDeadline)
{
    // -1 is no timeout at all to poll: a deadline passed by a millisecond (a preemption) must not become it.
    const struct { long long due, now; int timeout; } rows[] = {
        {1500, 1000, 500}, {1001, 1000, 1}, {1000, 1000, 0}, {1000, 1001, 0},
        {1000, 1002, 0},   {1000, 900000, 0}, {1LL << 40, 0, INT_MAX},
    };
    for (auto &row : rows)
        EXPECT_EQ(poll_ms_until(row.due, row.now), row.timeout) << row.due << " at " << row.now;
}
