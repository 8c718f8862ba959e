// One thread per TCP client: relayed text from its pipe to its socket, and
// what the client sends to the serial device.
#pragma once

#include "clients/client_registry.h"

// Starts the detached thread that serves a registered link. Returns false
// when the thread cannot be started; the link is then still registered.
bool start_client_thread(client_link *link);

// Sends all n bytes, completing partial sends, so a client never receives a
// sentence cut in half. Returns false when a send fails.
bool send_all(int socket, const char *bytes, size_t n);
