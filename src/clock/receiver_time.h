// SPDX-License-Identifier: BSD-2-Clause
// Which of the receiver's lines give the time, and what time: one sample for
// each new second of a valid fix. Pure: bytes and a small record in, a
// verdict out; no clock is read here.
#pragma once

#include <cstddef>

// The receiver's time, UTC, since the epoch.
struct receiver_time {
    long long seconds;
    long nanoseconds;
};

enum class time_verdict {
    none,        // not a sentence that tells the time
    sample,      // the first line of a new second: hand it on
    same_second, // a second already handed on
    not_valid,   // RMC status not A or mode N, or ZDA while the latest RMC was not valid
    too_old,     // a date before 2020: a receiver whose week number rolled over
    unreadable,  // a time or date that does not parse, no date, a bad checksum, a leap second
};

// What the judge keeps between lines; starts as judge_start leaves it.
struct time_judge {
    bool rmc_valid;         // the latest RMC gave a valid fix
    long long last_second;  // the receiver's second of the last sample, -1 none
};

constexpr time_judge judge_start = {false, -1};

// Judges one relayed text (a whole line, its line end included) of the
// serial receiver. An RMC of status A (and mode indicator, where there is
// one, not N) with its date gives time; a ZDA only while the latest RMC was
// valid. Only the first line that names a new second is a sample; *out then
// holds its time, the fraction of the time field included.
time_verdict judge_time(time_judge *judge, const char *text, size_t length, receiver_time *out);

// Days from 1970-01-01 to that date of the proleptic Gregorian calendar.
long long days_from_civil(int year, int month, int day);
