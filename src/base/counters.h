// SPDX-License-Identifier: BSD-2-Clause
// What the daemon has done since it started, counted by the threads that do
// it and said as one line of counters on SIGUSR1. A count costs its writer
// no system call and no lock: each is an atomic, in relaxed order, since no
// count orders anything else; a count with one writer is raised without
// even a locked instruction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/sentence_filter.h"

using counter = std::atomic<uint64_t>;
// On every target the daemon is built for (32-bit ARM too): never a hidden lock.
static_assert(counter::is_always_lock_free, "a count must not take a lock");

// Process-wide; each says who writes it. The reporting thread only reads.
struct counters_record {
    long long started_ms;      // main, before any thread starts (monotonic)
    counter udp_in;            // relay_thread: texts relayed from the UDP input
    counter serial_in;         // relay_thread: texts relayed from the serial device
    counter bcast_failed;      // relay_thread: broadcast copies the kernel refused
    counter clients;           // registry_add and registry_remove, under registry_lock: clients now
    counter clients_max;       // registry_add, under registry_lock: most clients at once
    counter clients_refused;   // listener_thread (registry_add): turned away, every slot taken
    counter clients_cut;       // client threads: given up, having taken nothing for a minute
    counter drop_clients;      // relay_thread: texts a client missed, its backlog full
    counter drop_device;       // relay_thread and the serial writer: relayed texts the device did not get whole (no room, stale, or cut by a stall)
    counter drop_progress;     // any thread that prints progress: messages dropped whole
    counter device_opened;     // relay_thread: times a serial device was opened
    counter device_lost;       // relay_thread: times an open device failed or hung up
    std::atomic<int> device;   // relay_thread: index in device_list of the last device opened, -1 none
    counter reports;           // relay_thread: report files published
    counter reports_failed;    // relay_thread: report files that could not be published
    counter drop_fragments;    // relay_thread: pieces of lines dropped (cut, torn by a NUL, never ended, or the rest of one)
    counter client_bytes_discarded; // client threads: bytes from clients that may not write (-a), discarded
    counter clock_samples;     // relay_thread: samples of the receiver's time a clock took (-c)
    counter clock_missed;      // relay_thread: samples a clock did not take (not there, not ours, full)
    counter clock_refused;     // relay_thread: RMC and ZDA lines refused as time
    // relay_thread: lines each output's filter (-f) held back, by output
    // (udp, tcp, serial, reports). Chosen, never lost: no drop.
    counter filtered[filter_outputs];
};

extern counters_record counters;

// For a counter that only one thread writes.
inline void count_many(counter &c, uint64_t n)
{
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline void count_one(counter &c)
{
    count_many(c, 1);
}

// For a counter that several threads write.
inline void count_shared(counter &c, uint64_t n = 1)
{
    c.fetch_add(n, std::memory_order_relaxed);
}

// A client thread ends its client after a send failed with `error`: a cut
// when the client took nothing for the stall limit (EAGAIN) or the kernel's
// timers gave it up (ETIMEDOUT); a client that left is no cut.
void count_client_end(int error);

// The pending error of a client's socket (SO_ERROR), 0 when none.
int socket_error(int socket);

// The counters as one moment's values, for the line.
struct counters_snapshot {
    long long up_s;
    uint64_t udp_in, serial_in, bcast_failed;
    uint64_t clients, clients_max, clients_refused, clients_cut;
    uint64_t drop_clients, drop_device, drop_progress;
    const char *device_state; // "open", "closed", or "unused" without -s
    const char *device_name;  // the device last opened, or "-"
    uint64_t device_opened, device_lost;
    uint64_t reports, reports_failed;
    uint64_t drop_fragments;
    uint64_t client_bytes_discarded;
    uint64_t clock_samples, clock_missed, clock_refused;
    uint64_t filtered_udp, filtered_tcp, filtered_serial, filtered_reports;
};

// Capacity that the longest line fits in.
constexpr size_t counters_line_capacity = 1024;

// The line, "counters: up_s=12 udp_in=40 ... reports_failed=1\n", into out
// (counters_line_capacity bytes); its length. The keys and their order are
// an interface: scripts read them (see gpsfanout(8)).
size_t format_counters(char *out, const counters_snapshot &values);
