// The GPS receiver's serial device: finding it, configuring it, and the one
// way bytes are written to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <termios.h>

// Descriptor of the open serial device; only values above 0 count as open.
// Written only by relay_thread, and only while it holds serial_write_lock;
// writers read it again under that lock before writing.
extern std::atomic<int> ttyfd;

// Held around every write to the serial device, so that one writer's unit
// (a relayed text or a client's chunk) goes out whole.
extern std::mutex serial_write_lock;

// Where the receiver is looked for, in this order.
extern const char *const device_list[4];

// The terminal speed constant for a line speed; 4800 for anything unknown.
speed_t speed_constant(int baud);

// Puts terminal settings into the daemon's line mode: canonical input, no
// echo or signal characters, output LF as CR LF, 8N1 with RTS/CTS at `baud`.
// The input flags and the line discipline are left as they were read.
void configure_line(termios *t, int baud);

// Opens and configures the first of `paths` that opens. Returns the
// descriptor (> 0), or -1 when none opens or the configuration fails (said on
// standard error; later paths are not tried then).
int open_serial_from(const char *const *paths, size_t count, int baud);

// open_serial_from over device_list at the configured speed.
int open_serial();

// Writes n bytes one at a time, each followed by a 500-microsecond pause.
// The caller holds serial_write_lock.
void write_paced(int fd, const char *bytes, size_t n);

// Writes a whole unit to the serial device if one is open: tests ttyfd,
// takes serial_write_lock, reads ttyfd again, and writes paced.
void serial_write(const char *bytes, size_t n);

// relay_thread only: closes the device and marks it closed, under the lock,
// so no writer can use the descriptor number after it is released.
void serial_close();
