// SPDX-License-Identifier: BSD-2-Clause
#include "replay_pace.h"

#include <cctype>
#include <cstring>

constexpr double seconds_per_day = 24.0 * 3600.0;

replay_pace pace_start(double lines_per_second)
{
    return replay_pace{lines_per_second > 0 ? lines_per_second : 0, 0, 0.0, false, 0.0, true, 0.0, 0.0};
}

static int two_digits(const char *text)
{
    if (!isdigit(static_cast<unsigned char>(text[0])) || !isdigit(static_cast<unsigned char>(text[1])))
        return -1;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

bool rmc_time_of_day(const char *line, double *seconds)
{
    // "$", a two-letter talker, "RMC", then the time field.
    if (line[0] != '$' || strlen(line) < 7 || strncmp(line + 3, "RMC,", 4) != 0)
        return false;
    const char *time = line + 7;
    int hours = two_digits(time);
    int minutes = hours < 0 ? -1 : two_digits(time + 2);
    int whole = minutes < 0 ? -1 : two_digits(time + 4);
    if (whole < 0 || hours > 23 || minutes > 59 || whole > 60)
        return false;
    double fraction = 0;
    const char *rest = time + 6;
    if (*rest == '.') {
        double scale = 0.1;
        for (rest++; isdigit(static_cast<unsigned char>(*rest)); rest++, scale /= 10)
            fraction += (*rest - '0') * scale;
    }
    if (*rest != ',' && *rest != '*')
        return false;
    *seconds = hours * 3600.0 + minutes * 60.0 + whole + fraction;
    return true;
}

double rmc_step(double previous, double next)
{
    double step = next - previous;
    if (step >= 0)
        return step;
    if (step < -seconds_per_day / 2)
        return step + seconds_per_day;
    return 1.0;
}

void pace_pass(replay_pace *pace)
{
    // The first pass has nothing before it to keep a second from.
    if (pace->lines > 0)
        pace->pass_floor = pace->pass_start + 1.0;
    pace->pass_begins = true;
}

double pace_line(replay_pace *pace, const char *line)
{
    long long index = pace->lines++;
    if (pace->lines_per_second > 0)
        return index / pace->lines_per_second; // from the count, so no error builds up
    double time;
    if (rmc_time_of_day(line, &time)) {
        if (pace->seen_rmc)
            pace->due += rmc_step(pace->last_rmc, time);
        pace->seen_rmc = true;
        pace->last_rmc = time;
    }
    if (pace->pass_begins) {
        if (pace->due < pace->pass_floor)
            pace->due = pace->pass_floor;
        pace->pass_start = pace->due;
        pace->pass_begins = false;
    }
    return pace->due;
}
