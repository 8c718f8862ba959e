// SPDX-License-Identifier: BSD-2-Clause
// Joins UDP datagrams into whole text units. Pure: no sockets, no globals.
#pragma once

#include <cstddef>

#include "relay/text_normalise.h"

struct line_assembly {
    char line_buffer[text_capacity]; // the unit being assembled, NUL-terminated
    size_t cursor;                   // where the next datagram goes; 0 unless a line is half-received
};

void assembly_reset(line_assembly *a);

// Where the next datagram is to be received, and how many bytes fit there
// (one byte is always kept for the terminator).
char *assembly_room(line_assembly *a, size_t *room);

// Places a datagram received elsewhere where the assembly wants it, cut to
// the room left, as a receive into assembly_room() would have cut it.
// Returns the bytes placed, for assembly_take.
long assembly_put(line_assembly *a, const char *datagram, size_t length);

// Takes the result of receiving into assembly_room(). A failed or empty
// receive discards any fragment. With `accept` off the datagram is dropped.
// Returns true when the unit is complete; it then starts at line_buffer.
bool assembly_take(line_assembly *a, long received, bool accept);

// assembly_take, then normalisation: the text to relay (at line_buffer) with
// its length in *length, or nullptr when this datagram relays nothing.
const char *assembly_text_to_relay(line_assembly *a, long received, bool accept, size_t *length);

// A read of `received` bytes into `buffer` (room for text_capacity bytes),
// normalised: the length to relay, or 0 when the read relays nothing.
size_t read_text_to_relay(char *buffer, long received);
