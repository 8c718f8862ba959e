// SPDX-License-Identifier: BSD-2-Clause
// What one cycle of the relay does with what it received: cuts it into
// lines, hands each text to every output, and gives the clients the cycle's
// texts together. No sockets of its own: the relay loop receives, and the
// fuzz target drives these same functions.
#pragma once

#include <cstddef>
#include <ctime>

#include "relay/line_assembly.h"

// Datagrams taken in one receive when several wait.
constexpr unsigned udp_batch = 8;

// The clients' batch: texts laid end to end until they are handed over
// together, at the cycle's end or as soon as the next would not fit.
constexpr unsigned client_batch_texts = udp_batch + 1;
constexpr size_t client_batch_bytes = (udp_batch + 1) * text_capacity;

// Where texts go: the clients, a batch at a time, the serial device's
// queue, the broadcast and the position reports; and the clock the filters'
// limits read. The daemon's are registry_write_batch, serial_offer,
// broadcast_text, update_position_reports and monotonic_us.
struct relay_sinks {
    void (*clients)(const char *texts, const size_t *ends, unsigned count);
    bool (*device)(const char *text, size_t length);
    void (*broadcast)(const char *text, size_t length);
    void (*reports)(const char *text);
    long long (*now_us)();
};
extern relay_sinks relay_outputs;

// Forgets every line half-received and every filter's timers; the serial
// side also when a device opens (its lines only).
void relay_cycle_reset();
void relay_serial_reset();

// One datagram as received: `cut` when it was longer than `length`; 0 bytes
// for an empty datagram or a failed receive. Dropped unread with -u off.
void relay_datagram(const char *bytes, size_t length, bool cut);

// One read from the serial device (`bytes` need not stay valid after);
// with clocks to feed (-c), `received` is the system's time when the read
// returned, else nullptr.
void relay_serial_read(const char *bytes, size_t length, const timespec *received = nullptr);

// Hands the cycle's texts to the clients.
void relay_to_clients();
