// SPDX-License-Identifier: BSD-2-Clause
// Which lines give the time, on arbitrary lines one after another.
//
// Input: lines, each ended by an LF (the last one too, if it has none), as
// the relay hands the receiver's texts on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "clock/receiver_time.h"

// 2020-01-01: nothing earlier is ever a sample.
constexpr long long earliest = 1577836800;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[8192];
    time_judge judge = judge_start;
    const char *bytes = reinterpret_cast<const char *>(data);
    for (size_t start = 0; start < size;) {
        const char *end = static_cast<const char *>(memchr(bytes + start, '\n', size - start));
        size_t length = (end != nullptr ? static_cast<size_t>(end - bytes) : size) - start;
        if (length > sizeof text - 2)
            length = sizeof text - 2;
        memcpy(text, bytes + start, length);
        text[length] = '\n';
        text[length + 1] = '\0';
        start += length + 1;
        long long before = judge.last_second;
        receiver_time t = {-1, -1};
        time_verdict verdict = judge_time(&judge, text, length + 1, &t);
        if (verdict == time_verdict::sample) {
            // A new second, of a year the clock may take, to the nanosecond.
            if (t.seconds == before || t.seconds < earliest || t.nanoseconds < 0 || t.nanoseconds > 999999999 ||
                judge.last_second != t.seconds || !judge.rmc_valid)
                abort();
        } else if (judge.last_second != before || t.seconds != -1) {
            abort(); // nothing but a sample moves the second or gives a time
        }
    }
    return 0;
}
