// SPDX-License-Identifier: BSD-2-Clause
// The counters said on request: the thread that waits for SIGUSR1 and says
// the counters line, then a line per connected client.
#pragma once

#include <cstddef>

#include "base/counters.h"

struct client_view;

// Room for a client's line: the longest address and counts of 15 digits
// fit in 200 bytes.
constexpr size_t client_line_capacity = 256;

// A client's line, "client: address=192.168.1.20 port=51234 up_s=340 ...\n",
// into out (client_line_capacity bytes); its length, 0 when it did not fit.
// Its keys and their order are an interface, as the counters line's.
size_t format_client(char *out, const client_view &client, long long now_ms);

// main: call first, while the process has one thread: notes the start and
// blocks SIGUSR1, so that every later thread inherits the block and no
// thread is ever interrupted by it.
void counters_start();

// main: starts the thread that waits for SIGUSR1 and says the line, then
// one line per connected client in the order they connected, on
// standard error and, detached, in the system log. Call after
// messages_start. It never touches the relay: it only reads. False, with
// the reason in errno, when the thread cannot be started.
bool counters_listen();
