// SPDX-License-Identifier: BSD-2-Clause
// Time that only goes forward, for deadlines and paces: a clock set by hand
// or by NTP must not stretch or cut them.
#pragma once

#include <climits>
#include <ctime>

inline long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

inline long long monotonic_ms()
{
    return monotonic_us() / 1000;
}

// The poll timeout that waits until `due_ms`: 0 once it has passed, and never
// -1, which poll takes as no timeout at all.
inline int poll_ms_until(long long due_ms, long long now_ms)
{
    long long left = due_ms - now_ms;
    return left <= 0 ? 0 : left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}
