// The connected TCP clients that the relay loop feeds, in registration order.
#pragma once

#include <cstddef>
#include <mutex>

#include "app/settings.h"

// One per accepted connection. Created by the listener, owned by the
// registry once registered, released by registry_remove.
struct client_link {
    int pipe_read;  // read by the client's thread
    int pipe_write; // written by relay_thread, never blocking
    int socket;     // the accepted TCP connection
};

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

// relay_thread: writes a text to every registered client's pipe without
// waiting. A client whose pipe cannot take the whole text misses it whole,
// so a client that stops reading never holds up the relay or the others,
// and no client ever receives part of a sentence.
void registry_write_all(const char *text, size_t length);
