// SPDX-License-Identifier: BSD-2-Clause
// A client's connection: the timers that find a client that takes nothing or
// has vanished, and sending to it with a time limit.
#pragma once

#include <cstddef>

// A client whose connection takes no byte for this long while text waits for
// it is given up: by its thread when the text waits in its pipe, by the
// kernel (TCP_USER_TIMEOUT) when it waits in the socket.
constexpr int client_stall_ms = 60 * 1000;

// Keepalive on an idle connection: the first probe after this long without a
// word from the client, then one every interval; once this many went
// unanswered (60 s after its last sign of life) the connection is dropped.
constexpr int keepalive_idle_s = 30;
constexpr int keepalive_interval_s = 10;
constexpr int keepalive_probes = 3;

// Sets keepalive, the user timeout and TCP_NODELAY on an accepted connection.
// Returns false when one of them could not be set; the connection still works
// without it.
bool set_client_options(int socket);

// Sends all n bytes, completing partial sends, so a client never receives a
// sentence cut in half. Waits for room while the client keeps taking bytes,
// but gives up once it has taken none for stall_ms. Returns false when a
// send fails or the client stalled.
bool send_all(int socket, const char *bytes, size_t n, int stall_ms = client_stall_ms);
