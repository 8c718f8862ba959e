// SPDX-License-Identifier: BSD-2-Clause
// The serial device's paced output. One thread owns it, fed with whole units
// (a relayed text, or one line a client sent): units never mix on the line,
// the relay never waits on the device or behind client text, and what the
// device gets is never older than a few seconds of line time.
#pragma once

#include <cstddef>

// Relayed texts waiting for the device, in line time at the configured
// speed. Beyond it the device is not keeping up and texts are dropped whole.
constexpr int serial_backlog_ms = 2000;

// A relayed text still waiting this long when its turn comes is dropped
// whole rather than handed over stale: the device took nothing for a while
// (a receiver that held CTS low), or took bytes slower than its speed.
constexpr int serial_stale_ms = 2200;

// A client line that waits goes next once relayed texts have held the line
// for this long since it began waiting, so that a busy relay cannot keep
// clients from the device for ever.
constexpr int serial_client_share_ms = 1000;

// The most a client gathers before it goes on the line without a line end,
// and so the longest unit a client's text makes.
constexpr size_t serial_client_unit = 4096;

// Client bytes without a line end go as they are once the client has sent
// nothing for this long.
constexpr int serial_client_quiet_ms = 500;

// How long the device may take no byte at all before the rest of the unit
// being written is dropped: a line whose CTS never rises, a full driver.
constexpr int serial_stall_ms = 1000;

// What may wait in the device's driver (TIOCOUTQ, where the driver says),
// in bytes: about one sentence. Where it says nothing, the pacing alone
// keeps the driver from filling.
constexpr size_t serial_kernel_allowance = 80;

// Microseconds per byte written: its time on the line at `baud` (ten bits
// with start and stop bit), but never under 500.
long serial_byte_us(int baud);

// How many bytes of relayed text may wait: serial_backlog_ms of line time.
size_t serial_backlog_bytes(int baud);

// Starts the thread that writes to the device. Call once, before any unit is
// offered; without it units are dropped.
bool serial_output_start();

// relay_thread: queues a relayed text for the device without waiting.
// A sentence takes the place of the one of its type that still waits, which
// is dropped whole (text_queue_offer). Returns false when it was dropped
// whole: no device is open, or a backlog's worth already waits (a text of
// any length goes into an empty queue). Relayed texts go out before a client
// line that waits, until they have held the line for serial_client_share_ms
// past it.
bool serial_offer(const char *text, size_t length);

// Client threads: queues one unit of a client's text (at most
// serial_client_unit bytes), waiting up to wait_ms while another client's
// unit waits. Returns whether it was queued; when not (the slot stayed
// taken, or no device is open) the caller keeps the text. Client text is
// never dropped here.
bool serial_write(const char *bytes, size_t n, int wait_ms);

// The first whole unit of a client's gathered text: up to and including its
// first line end (CR or LF; a CR LF together). Returns how many bytes it
// takes from the front of `bytes`, 0 when none is whole yet, and puts what
// to write in `unit` (room for n bytes) and its length in *length. A CR LF
// is written as its LF alone, which the device's output processing turns
// back into CR LF; nothing else changes. A CR at the very end waits for a
// possible LF. With `quiet` (the client sent nothing for a while, or no
// more), or n at serial_client_unit, all that is there is whole.
size_t client_unit(const char *bytes, size_t n, bool quiet, char *unit, size_t *length);

// Writes n bytes one at a time, each followed by its pause (serial_byte_us
// at the configured speed), to the device while it is the one published as
// `generation`, keeping no more than serial_kernel_allowance in its driver.
// Returns the number of bytes written: it stops early when the device goes,
// when it takes nothing for serial_stall_ms, or, before the first byte, for
// patience_ms; stopped for taking nothing, it discards what waits in the
// device's driver, and puts in *discarded (when given) how many bytes the
// driver said it held then: 0 where it says nothing, as a pseudo-terminal.
size_t write_paced(const char *bytes, size_t n, unsigned generation, int patience_ms, size_t *discarded = nullptr);

// A unit as it went on the line: its bytes there (each LF goes out as CR LF)
// and whether it was a relayed text.
struct unit_on_line {
    size_t bytes;
    bool relayed;
};

// How many relayed texts lose bytes when the last `discarded` bytes written
// are thrown away from the device's driver: `cut_head` of them are the head
// of the unit being cut (counted apart), the rest the ends of `recent`, the
// units written before it, oldest first.
size_t texts_discarded(const unit_on_line *recent, size_t count, size_t cut_head, size_t discarded);
