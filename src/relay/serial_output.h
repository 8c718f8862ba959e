// SPDX-License-Identifier: BSD-2-Clause
// The serial device's paced output. One thread owns it, fed with whole units
// (a relayed text, or a chunk a client sent): units never mix on the line,
// and the relay never waits on the device or behind client text.
#pragma once

#include <cstddef>

// Relayed texts waiting for the device, in bytes: about two seconds of paced
// output. Beyond it the device is not keeping up and texts are dropped whole.
constexpr size_t serial_relay_backlog = 4096;

// The largest chunk a client thread may queue; one chunk is one unit on the line.
constexpr size_t serial_client_unit = 4096;

// How long the device may take no byte at all before the rest of the unit
// being written is dropped: a line whose CTS never rises, a full driver.
constexpr int serial_stall_ms = 1000;

// Starts the thread that writes to the device. Call once, before any unit is
// offered; without it units are dropped.
bool serial_output_start();

// relay_thread: queues a relayed text for the device without waiting. While
// the device is closed, or the queue has no room, the text is dropped whole.
// Relayed texts go out before a client chunk that waits, until a backlog's
// worth of them has gone past it: then the chunk goes next.
void serial_offer(const char *text, size_t length);

// Client threads: queues a chunk (at most serial_client_unit bytes) for the
// device, waiting while another client's chunk waits: the client's own
// socket then holds what it sends next. Returns at once, dropping the chunk,
// when no device is open.
void serial_write(const char *bytes, size_t n);

// Writes n bytes one at a time, each followed by a 500-microsecond pause, to
// the device while it is the one published as `generation`. Returns the
// number of bytes written: it stops early when the device goes, when it takes
// nothing for serial_stall_ms, or, before the first byte, for patience_ms.
size_t write_paced(const char *bytes, size_t n, unsigned generation, int patience_ms);
