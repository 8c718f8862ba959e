// SPDX-License-Identifier: BSD-2-Clause
// chrony's SOCK refclock: one datagram per sample to the unix socket chrony
// binds at the path of its refclock line.
#pragma once

#include <ctime>
#include <sys/time.h>

#include "clock/receiver_time.h"

// The datagram as chrony declares it: its size follows the C library's
// time_t (40 bytes with a 64-bit one, 32 with a 32-bit one), as chrony is
// built with the same library.
struct sock_sample {
    timeval tv;     // the system's time when the line came
    double offset;  // the receiver's time minus tv, in seconds
    int pulse;      // 0: a whole time, not a pulse
    int leap;       // 0: no leap second announced
    int pad;
    int magic;      // sock_magic
};
static_assert(sizeof(sock_sample) == sizeof(timeval) + 24, "laid out as chrony lays it out");

constexpr int sock_magic = 0x534f434b;

// The sample for a line of `time` received at `received`.
sock_sample sock_sample_of(const receiver_time &time, const timespec &received);

// A socket to send samples from: unbound, non-blocking, so that a send
// never waits for chrony. -1 with errno on failure.
int sock_open();

// Sends one sample to `path`; false with errno when it was not taken (no
// socket there yet, nobody bound to it, its queue full, not ours to write).
bool sock_put(int fd, const char *path, const sock_sample &sample);
