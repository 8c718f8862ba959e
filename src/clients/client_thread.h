// SPDX-License-Identifier: BSD-2-Clause
// One thread per TCP client: relayed text from its pipe to its socket, and
// what the client sends to the serial device.
#pragma once

#include "clients/client_registry.h"

// Starts the detached thread that serves a registered link. Returns false
// when the thread cannot be started; the link is then still registered.
bool start_client_thread(client_link *link);

