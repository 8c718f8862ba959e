// SPDX-License-Identifier: BSD-2-Clause
// The connected TCP clients that the relay loop feeds, in registration order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/networks.h"

// Held in a link's backlog until its thread runs, so that a client's first
// texts, like any that must wait, go through the pipe: a client that
// receives text always has a thread that can notice its departure.
constexpr size_t thread_not_running = 1;

// One per accepted connection. Created by the listener, owned by the
// registry once registered, released by registry_remove.
//
// relay_thread sends each text straight to the socket, without waiting,
// while nothing of the client's waits in the pipe; only what the socket
// cannot take at once goes through the pipe, and the client's thread sends
// it on. A client that keeps up thus costs one send per text and never
// wakes its thread.
struct client_link {
    int pipe_read;  // read by the client's thread
    int pipe_write; // written by relay_thread, never blocking
    int socket;     // the accepted TCP connection
    ip_address peer{};       // the client's address, IPv4 as IPv4
    uint16_t port = 0;       // and its port
    long long connected_ms = 0; // when it was accepted (monotonic)
    // Decided once, when accepted (-a): whether its text may reach the
    // receiver; otherwise what it sends is read and discarded.
    bool may_write = true;
    // For its line on SIGUSR1, each with one writer, so that counting costs
    // no locked instruction: bytes relay_thread handed it (sent straight or
    // written into the pipe), texts it missed, its backlog full, and (its
    // own thread) bytes it sent that were discarded (-a).
    std::atomic<uint64_t> handed_bytes{0};
    std::atomic<uint64_t> drop_texts{0};
    std::atomic<uint64_t> discarded_bytes{0};
    // Bytes written into the pipe that the client's thread has not sent yet,
    // plus one until that thread runs: raised by relay_thread before it
    // writes, lowered by the thread once they are sent. While it is 0 a text
    // sent straight overtakes nothing.
    std::atomic<size_t> backlog{thread_not_running};
};

// Capacity of the client registry; no option changes it.
constexpr int max_clients = 100;

// Occupied slots form a prefix; the first empty slot ends the list.
// Changed by listener_thread (add) and client threads (remove), walked by
// relay_thread; every access holds registry_lock.
extern client_link *client_registry[max_clients];
extern std::mutex registry_lock;

// Registers a client. Returns false when all slots are taken.
bool registry_add(client_link *link);

// Unregisters a client and releases it: its descriptors are closed and the
// record freed. A link that is not registered is left alone.
void registry_remove(client_link *link);

// Closes a link's descriptors and frees it.
void release_link(client_link *link);

// relay_thread: passes a text to every registered client without waiting:
// straight to its socket, or through its pipe (see client_link). A client
// whose pipe cannot take the rest of the text misses it whole, so a client
// that stops reading never holds up the relay or the others, and no client
// ever receives part of a sentence.
void registry_write_all(const char *text, size_t length);

// registry_write_all for several texts at once, laid end to end in `texts`;
// text i ends at ends[i]. A client that keeps up gets them in one send;
// each text still reaches every client whole and in order, or not at all.
void registry_write_batch(const char *texts, const size_t *ends, unsigned count);

// One client as its line on SIGUSR1 shows it.
struct client_view {
    ip_address peer;
    uint16_t port;
    long long connected_ms;
    bool may_write;
    uint64_t sent_bytes; // handed to it and no longer waiting in its pipe
    uint64_t drop_texts, discarded_bytes;
};

// Copies every registered client, in registration order, into out (room
// for max_clients); how many. The lock is held for the copy alone: no
// system call, no formatting, so the relay waits no longer than for a
// client's arrival.
size_t registry_snapshot(client_view *out);
