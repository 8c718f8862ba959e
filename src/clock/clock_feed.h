// SPDX-License-Identifier: BSD-2-Clause
// Hands the serial receiver's time to the clocks of -c: each new second of a
// valid fix becomes one sample for every clock. Runs on relay_thread alone,
// never waits: a clock that cannot take a sample loses it, and the next
// second is tried afresh.
#pragma once

#include <cstddef>
#include <ctime>

// Opens what the clocks of `settings` need (a socket for the SOCK clocks,
// the shared-memory segments). A clock that cannot be had yet is said and
// tried again at each sample. Call before the first line is read.
void clock_feed_open();

// One relayed text of the serial receiver and the system's time when the
// read that brought it returned.
void clock_offer(const char *text, size_t length, const timespec &received);
