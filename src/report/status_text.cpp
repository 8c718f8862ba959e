// SPDX-License-Identifier: BSD-2-Clause
#include "report/status_text.h"

#include <cstdio>

#include "report/number_text.h"

size_t format_status_text(char *out, size_t capacity, const char *rmc_text, const char *gga_text,
                          const fix_values &fix)
{
    // "%g" writes the decimal point of the thread's locale. glibc has no
    // snprintf_l, so this thread takes the C locale for the one call and
    // gives back what it had: a thread-local switch, cheap, and right on any
    // thread that calls it, whatever setlocale has done to the process.
    locale_t c_locale = c_numeric_locale();
    locale_t previous = c_locale != static_cast<locale_t>(0) ? uselocale(c_locale) : static_cast<locale_t>(0);
    // The stored texts carry their own line ends.
    int length = snprintf(out, capacity,
                          "NMEA: %s"
                          "NMEA: %s"
                          "Status: %s\n"
                          "Date(day/mon/yr): %d/%d/%d\n"
                          "Time(hh:mm:ss): %d:%d:%d\n"
                          "Lat(deg): %g\n"
                          "Lon(deg): %g\n"
                          "Course(deg): %g\n"
                          "Speed(m/s): %g\n"
                          "Alt(m): %g\n",
                          rmc_text, gga_text, fix.void_fix ? "VOID" : "ACTIVE", fix.day, fix.month, fix.year,
                          fix.hours, fix.minutes, fix.seconds, static_cast<double>(fix.latitude),
                          static_cast<double>(fix.longitude), static_cast<double>(fix.course),
                          static_cast<double>(fix.speed) * metres_per_second_per_knot,
                          static_cast<double>(fix.altitude));
    if (previous != static_cast<locale_t>(0))
        uselocale(previous);
    if (length < 0 || static_cast<size_t>(length) >= capacity)
        return 0;
    return static_cast<size_t>(length);
}
