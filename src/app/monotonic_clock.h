// SPDX-License-Identifier: BSD-2-Clause
// Time that only goes forward, for deadlines and paces: a clock set by hand
// or by NTP must not stretch or cut them.
#pragma once

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
