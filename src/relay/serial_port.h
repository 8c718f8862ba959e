// SPDX-License-Identifier: BSD-2-Clause
// The GPS receiver's serial device: finding it, configuring it, and who may
// hold its descriptor.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <termios.h>

// Descriptor of the open serial device; only values above 0 count as open.
// Stored only here (serial_publish, serial_close), always under
// serial_write_lock; read by relay_thread, the serial writer and client
// threads. A writer reads it again under the lock for each write.
extern std::atomic<int> ttyfd;

// Held around every store to ttyfd and every write to the device, so that a
// descriptor is never closed, and its number reused, under a write.
extern std::mutex serial_write_lock;

// Where the receiver is looked for, in this order.
constexpr size_t device_count = 4;
extern const char *const device_list[device_count];

// The terminal speed constant for a line speed; 4800 for anything unknown.
speed_t speed_constant(int baud);

// Puts terminal settings into the daemon's line mode: canonical input, no
// echo or signal characters, output LF as CR LF, 8N1 with RTS/CTS at `baud`.
// The input flags and the line discipline are left as they were read.
void configure_line(termios *t, int baud);

// What one look for the device found.
struct serial_search {
    int fd;                         // > 0: opened and configured; else -1
    int refused;                    // errno of the settings the first device that opened refused, else 0
    size_t tried;                   // paths that were tried
    int open_errors[device_count];  // errno of each tried path that did not open
};

// Opens the first of `paths` that opens (non-blocking, so a line without
// carrier cannot hold the open) and configures it. Later paths are not tried
// once one has opened. Says nothing.
int open_serial_from(const char *const *paths, size_t count, int baud, serial_search *found);

// What has been said about looking for the device, so that a failure that
// repeats every attempt is said once.
struct serial_lookout {
    int refused_said;  // errno of the configuration failure said last, 0 for none
    bool absent_said;  // the names tried have been listed since a device was last open
};

// Says on standard error what a look found, when it is news: a refused
// configuration once until the outcome changes; that no device opened, with
// the names tried and why, once until a device has been open.
void say_serial_search(serial_lookout *lookout, const serial_search &found, const char *const *paths);

// open_serial_from over device_list at the configured speed, saying what is
// news. relay_thread only.
int open_serial();

// relay_thread only: makes an opened device the one in use.
void serial_publish(int fd);

// relay_thread only: marks the device closed, under the lock, so no writer
// can use the descriptor number after it is released; discards the output
// still waiting in its driver; and closes it on a thread of its own. The last
// close of a serial port waits for its output to drain, up to the port's
// closing_wait (30 s by default) whatever O_NONBLOCK says, and a line whose
// CTS never rises never drains: the relay must not wait on it.
void serial_close();

// Whether a device closed by serial_close is still being closed. Opening the
// same port meanwhile would wait for that close, so the relay does not look
// for a device until it is done.
bool serial_closing();

// Discards the device's pending output when the process is ended by SIGTERM,
// SIGINT or SIGHUP, so that it is not held up at exit by the same wait; the
// signal then ends it as before. Call once, from the relay, after main has
// taken the three signals back to their default.
void serial_discard_at_exit();

// Raised at every publish, under serial_write_lock: a writer that sees it
// change knows its descriptor is not the device its unit began on.
extern unsigned serial_generation;
