// SPDX-License-Identifier: BSD-2-Clause
#include "report/number_text.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

locale_t c_numeric_locale()
{
    // Built in to the C library: no files are read, so this cannot fail for
    // want of locale data; only for want of memory, once, at the first call.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c_locale;
}

double text_to_double(const char *text)
{
    locale_t c_locale = c_numeric_locale();
    // Without a locale object the process locale is all there is; the daemon
    // never changes it from "C".
    return c_locale != static_cast<locale_t>(0) ? strtod_l(text, nullptr, c_locale) : strtod(text, nullptr);
}

static bool is_c_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int piece_to_int(const char *text, size_t offset, size_t count)
{
    size_t length = strnlen(text, offset + count);
    if (length <= offset)
        return 0;
    const char *at = text + offset;
    const char *end = text + length;
    while (at < end && is_c_blank(*at))
        at++;
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-'))
        negative = *at++ == '-';
    long long value = 0; // kept within INT_MAX + 1, so it never overflows
    for (; at < end && *at >= '0' && *at <= '9'; at++) {
        value = value * 10 + (*at - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

float narrow_to_float(double value)
{
    // Halfway between FLT_MAX and the next power of two: from here on IEEE
    // rounding gives infinity, below it FLT_MAX.
    constexpr double overflow_edge = 0x1.ffffffp127;
    if (value >= overflow_edge)
        return HUGE_VALF;
    if (value <= -overflow_edge)
        return -HUGE_VALF;
    if (value > FLT_MAX)
        return FLT_MAX;
    if (value < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(value); // in range, NaN or infinite: defined
}
