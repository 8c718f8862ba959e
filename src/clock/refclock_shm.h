// SPDX-License-Identifier: BSD-2-Clause
// The NTP shared-memory refclock: a segment per unit, keyed 0x4E545030 plus
// the unit, holding one record that ntpd, chrony and gpsd all read and
// write. The daemon writes; the time server reads when it polls.
#pragma once

#include <ctime>

#include "clock/receiver_time.h"

// The record as the time servers declare it, field by field: its size
// follows the C library's time_t, as theirs does.
struct shm_time {
    int mode;  // 1: count is raised before and after a write, valid set last
    volatile int count;
    time_t clock_seconds;  // the receiver's time
    int clock_microseconds;
    time_t receive_seconds;  // the system's time when the line came
    int receive_microseconds;
    int leap;       // 0: no leap second announced
    int precision;  // log2 of the seconds the time is good to
    int nsamples;
    volatile int valid;
    unsigned clock_nanoseconds;
    unsigned receive_nanoseconds;
    int spare[8];
};

constexpr int shm_key_base = 0x4E545030;

// The segment of `unit`, made if there is none (readable and writable by
// its owner alone for units 0 and 1, by everyone from 2 up, as the time
// servers make them), and attached. Never removed: the time server may
// hold it. nullptr when it cannot be had, with errno set; *why then says
// what was wrong beyond errno, or is nullptr.
shm_time *shm_attach(int unit, const char **why);

// Writes one sample into an attached record, in mode 1.
void shm_put(shm_time *record, const receiver_time &time, const timespec &received);
