// SPDX-License-Identifier: BSD-2-Clause
// When each line of a replayed log is due: at a fixed number of lines per
// second, or at the pace of the timestamps in its RMC sentences.
#pragma once

struct replay_pace {
    double lines_per_second; // above 0: fixed rate; 0: follow the RMC timestamps
    long long lines;         // lines paced so far
    double due;              // at RMC pace: seconds after the start for the next line
    bool seen_rmc;           // an RMC time has been read
    double last_rmc;         // time of day of the latest RMC sentence, in seconds
    bool pass_begins;        // the next line is the first of a pass through the log
    double pass_start;       // at RMC pace: when the current pass began
    double pass_floor;       // at RMC pace: the current pass begins no earlier
};

// A pace at a fixed rate (lines_per_second > 0) or, with 0, by RMC time.
replay_pace pace_start(double lines_per_second);

// Seconds since midnight from the time field of an RMC sentence
// ("$xxRMC,hhmmss[.ss],..."). False when the line is not one, or its time is
// missing or malformed.
bool rmc_time_of_day(const char *line, double *seconds);

// Seconds to wait between two RMC times. Time runs on across midnight; a
// step back that is not the midnight roll-over (a log pieced together from
// several recordings, or one replayed again from the top) is taken as the
// start of a new recording, one second on.
double rmc_step(double previous, double next);

// Marks the start of a pass through the log; call it before every pass. At
// RMC pace a pass begins at least a second after the one before it, so a
// log whose times do not advance (or that has no RMC) is not sent in a
// flood when it is played over and over.
void pace_pass(replay_pace *pace);

// Seconds after the start at which `line` is due; advances the pace. At RMC
// pace an RMC sentence is due its time step after the previous one, and
// every other line goes right after the line before it.
double pace_line(replay_pace *pace, const char *line);
