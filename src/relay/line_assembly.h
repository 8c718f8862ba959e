// SPDX-License-Identifier: BSD-2-Clause
// Where one line ends: joins UDP datagrams into whole text units, and cuts
// each unit, from either input, so that every text relayed ends with its
// line end. Pure: no sockets, no globals.
#pragma once

#include <cstddef>

#include "relay/text_normalise.h"

struct line_assembly {
    char line_buffer[text_capacity]; // the unit being assembled, NUL-terminated
    size_t cursor;                   // where the next datagram goes; 0 unless a line is half-received
    // What followed the last line end of the unit just relayed: the head of
    // the next line, moved to line_buffer before the next datagram lands.
    char tail[text_capacity];
    size_t tail_length;
    // Fragments and torn units dropped whole since the owner last took the
    // count (and set it back to 0).
    unsigned long dropped;
};

void assembly_reset(line_assembly *a);

// Where the next datagram is to be received, and how many bytes fit there
// (one byte is always kept for the terminator).
char *assembly_room(line_assembly *a, size_t *room);

// Places a datagram received elsewhere where the assembly wants it, cut to
// the room left, as a receive into assembly_room() would have cut it.
// Returns the bytes placed, for assembly_text_to_relay.
long assembly_put(line_assembly *a, const char *datagram, size_t length);

// Takes the result of receiving into assembly_room() and returns the text
// to relay (at line_buffer, ending with its line end) with its length in
// *length, or nullptr when this datagram relays nothing:
// - a datagram that begins with '$' or '!' begins a sentence, so a fragment
//   still held is dropped (counted) rather than glued to it;
// - line ends are looked for in every byte received; the unit runs to the
//   last of them, and what follows it is held as the head of the next line;
// - a unit without a line end that is one whole sentence (see
//   whole_sentence) is a line of its own; any other is held for its line end;
// - a failed or empty receive, or a buffer that fills without a line end,
//   drops what was held.
// With `accept` off the datagram is dropped and what is held stays.
const char *assembly_text_to_relay(line_assembly *a, long received, bool accept, size_t *length);

// After assembly_text_to_relay: when what was held after the unit's last
// line end is itself one whole sentence, it is a line of its own: returned
// (at line_buffer, its line end added) and no longer held. Else nullptr.
const char *assembly_held_sentence(line_assembly *a, size_t *length);

// A read of `received` bytes into `buffer` (room for text_capacity bytes),
// cut like a UDP unit: the length to relay, or 0 when the read relays
// nothing. *torn is set when it held text that was dropped because a NUL or
// a missing line end tore it.
size_t read_text_to_relay(char *buffer, long received, bool *torn);

// One whole NMEA sentence without its line end: '$' or '!', then no line
// end and no NUL, then '*' and two hex digits that match the checksum of
// the characters between. The only place a checksum is looked at, and only
// to know where a sentence ends.
bool whole_sentence(const char *text, size_t length);
