// SPDX-License-Identifier: BSD-2-Clause
#include "clock/receiver_time.h"

#include <cstring>
#include <ctime>

// A receiver whose week number rolled over says a date 1024 weeks (19.6
// years) back; none of the daemon's devices runs before this year.
constexpr int earliest_year = 2020;

// An RMC's fields up to its mode indicator, and its navigational status.
constexpr int fields_wanted = 14;

long long days_from_civil(int year, int month, int day)
{
    // Years counted from March, so that the leap day ends a year.
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    long long year_of_era = year - era * 400;
    long long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

static int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A corrupted line must never set a clock: the checksum must be there and
// match. Returns the length up to the '*', or 0.
static size_t checked_length(const char *text, size_t length)
{
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        length--;
    if (length < 4 || text[length - 3] != '*')
        return 0;
    int high = hex_value(text[length - 2]), low = hex_value(text[length - 1]);
    unsigned sum = 0;
    for (size_t i = 1; i < length - 3; i++)
        sum ^= static_cast<unsigned char>(text[i]);
    return high >= 0 && low >= 0 && sum == static_cast<unsigned>(high * 16 + low) ? length - 3 : 0;
}

// Splits the sentence (without its checksum) at its commas: field 0 is
// the address. Fields stay in the text; each is a start and a length.
struct fields {
    const char *start[fields_wanted];
    size_t length[fields_wanted];
    int count;
};

static void split(const char *text, size_t length, fields *f)
{
    f->count = 0;
    size_t begin = 0;
    for (size_t i = 0; i <= length && f->count < fields_wanted; i++)
        if (i == length || text[i] == ',') {
            f->start[f->count] = text + begin;
            f->length[f->count++] = i - begin;
            begin = i + 1;
        }
}

// `n` decimal digits at `text` as a number; -1 when they are not all digits.
static int digits(const char *text, size_t n)
{
    int value = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// hhmmss with an optional fraction of any length, as receivers send
// "123519" or "123519.25": the second of the day and the nanoseconds.
static bool read_clock_time(const char *text, size_t length, long *second_of_day, long *nanoseconds)
{
    if (length < 6 || (length > 6 && text[6] != '.'))
        return false;
    int hours = digits(text, 2), minutes = digits(text + 2, 2), seconds = digits(text + 4, 2);
    // Second 60 of a leap second has no number of its own in the system's
    // time: handing it on would name the next second twice.
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59)
        return false;
    long fraction = 0, scale = 100000000;
    for (size_t i = 7; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        fraction += (text[i] - '0') * scale;
        scale /= 10;
    }
    *second_of_day = hours * 3600L + minutes * 60L + seconds;
    *nanoseconds = fraction;
    return true;
}

static bool real_date(int year, int month, int day)
{
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    bool leap_year = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= month_days[month - 1] + (month == 2 && leap_year);
}

static bool field_is(const fields &f, int n, const char *value)
{
    return n < f.count && f.length[n] == strlen(value) && memcmp(f.start[n], value, f.length[n]) == 0;
}

// The date and time of the fields as a time; the verdict against it.
static time_verdict make_time(const fields &f, int time_field, int year, int month, int day, receiver_time *out)
{
    long second_of_day, nanoseconds;
    if (!read_clock_time(f.start[time_field], f.length[time_field], &second_of_day, &nanoseconds) ||
        year < 0 || !real_date(year, month, day))
        return time_verdict::unreadable;
    if (year < earliest_year)
        return time_verdict::too_old;
    long long seconds = days_from_civil(year, month, day) * 86400 + second_of_day;
    // A system whose time_t has 32 bits cannot be told a time past 2038.
    if (static_cast<long long>(static_cast<time_t>(seconds)) != seconds)
        return time_verdict::unreadable;
    out->seconds = seconds;
    out->nanoseconds = nanoseconds;
    return time_verdict::sample;
}

time_verdict judge_time(time_judge *judge, const char *text, size_t length, receiver_time *out)
{
    // "$", a talker of two (not a proprietary "P"), the type, a comma.
    if (length < 7 || text[0] != '$' || text[1] == 'P' || text[6] != ',')
        return time_verdict::none;
    bool rmc = memcmp(text + 3, "RMC", 3) == 0, zda = memcmp(text + 3, "ZDA", 3) == 0;
    if (!rmc && !zda)
        return time_verdict::none;
    size_t checked = checked_length(text, length);
    if (checked == 0) {
        if (rmc)
            judge->rmc_valid = false; // what it said cannot be known
        return time_verdict::unreadable;
    }
    fields f;
    split(text, checked, &f);
    receiver_time t;
    time_verdict verdict;
    if (rmc) {
        // $--RMC,hhmmss.ss,A,lat,N,lon,E,speed,course,ddmmyy,var,E,mode
        judge->rmc_valid = field_is(f, 2, "A") && !field_is(f, 12, "N");
        if (!judge->rmc_valid)
            return time_verdict::not_valid;
        if (f.count < 10 || f.length[9] != 6)
            return time_verdict::unreadable;
        int day = digits(f.start[9], 2), month = digits(f.start[9] + 2, 2), year = digits(f.start[9] + 4, 2);
        // Two digits of year: from 80 on, the last century, so that a
        // receiver rolled over to 1999 is old, never 2099.
        verdict = make_time(f, 1, year < 0 ? -1 : year + (year >= 80 ? 1900 : 2000), month, day, &t);
    } else {
        // $--ZDA,hhmmss.ss,dd,mm,yyyy,zone hours,zone minutes
        if (!judge->rmc_valid)
            return time_verdict::not_valid;
        if (f.count < 5 || f.length[2] != 2 || f.length[3] != 2 || f.length[4] != 4)
            return time_verdict::unreadable;
        verdict = make_time(f, 1, digits(f.start[4], 4), digits(f.start[3], 2), digits(f.start[2], 2), &t);
    }
    if (verdict != time_verdict::sample)
        return verdict;
    if (t.seconds == judge->last_second)
        return time_verdict::same_second;
    judge->last_second = t.seconds;
    *out = t;
    return time_verdict::sample;
}
