// SPDX-License-Identifier: BSD-2-Clause
// The daemon's two doors for messages: progress on standard output in the
// foreground, and failures on standard error (and, detached, the system log).
#pragma once

#include <cstddef>

// Call once, after detaching and before any other thread starts. Detached,
// opens the system log (facility daemon, ident "gpsfanout"); in the
// foreground, starts the thread that writes progress to standard output.
// From then on failures wait in a queue for messages_serve_failures.
// False, with the reason in errno, when that thread cannot be started.
bool messages_start();

// Writes the queued failures for the life of the process: the one thread
// that may wait for standard error and the system log. Never returns.
[[noreturn]] void messages_serve_failures();

// main only, as the writer of the failures: writes every failure still
// queued, the last words of the process, then ends it at once with
// `status`. Never by exit(): static destructors and the flush of standard
// output would wait for ever on threads that wait (a condition variable's
// waiter, a standard output nobody reads).
[[noreturn]] void messages_exit(int status);

// A progress message on standard output, in the foreground only, and not
// formatted at all when standard output is the null device. It never
// holds up the caller: when standard output cannot take more (an unread
// pipe, a terminal held by Ctrl-S), the message is dropped whole. Standard
// output keeps its own buffering and blocking mode.
void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Progress of two texts that belong together (a broadcast's interface lines
// and the text they carry), neither formatted: one message, so that both are
// shown or neither.
void progress_pair(const char *first, size_t first_length, const char *second, size_t second_length);

// A failure, on standard error; detached, also to the system log. It never
// holds up the caller: once messages_start has run, it waits in a bounded
// queue, and when nobody takes what is written, failures beyond the queue
// are dropped whole and their number is said once it has drained.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line asked for, that is no failure (the counters and the client lines
// on request), by the same way as complain; in the system log at info
// priority. Such lines wait in a queue of their own, so they never take a
// failure's room; when it has none, the caller waits until the writer has
// taken what is there, rather than lose the line. Only for a thread that
// holds up nothing else (the counters' reporter).
void notice_in_turn(const char *text);

// complain in perror's form: "message: the system's error text", the
// message formatted as by printf.
void complain_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));
