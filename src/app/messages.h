// SPDX-License-Identifier: BSD-2-Clause
// The daemon's two doors for messages: progress on standard output in the
// foreground, and failures on standard error (and, detached, the system log).
#pragma once

#include <cstddef>

// Call once, after detaching and before any other thread starts. Detached,
// opens the system log (facility daemon, ident "gpsfanout"); in the
// foreground, starts the thread that writes progress to standard output.
void messages_start();

// A progress message on standard output, in the foreground only, and not
// formatted at all when standard output is the null device. It never
// holds up the caller: when standard output cannot take more (an unread
// pipe, a terminal held by Ctrl-S), the message is dropped whole. Standard
// output keeps its own buffering and blocking mode.
void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A failure, on standard error; detached, also to the system log.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line that is no failure (the counters on request), by the same way as
// complain.
void notice(const char *text);

// complain in perror's form: "message: the system's error text".
void complain_errno(const char *message);
