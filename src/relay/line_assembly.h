// SPDX-License-Identifier: BSD-2-Clause
// Where one line ends: joins UDP datagrams into whole text units, and cuts
// each unit, from either input, so that every text relayed ends with its
// line end and no text carries the bytes of a line torn on the way. Pure: no
// sockets, no globals.
#pragma once

#include <cstddef>

#include "relay/text_normalise.h"

enum class line_end_owed : unsigned char { none, lf, any };

// Linux keeps 4095 characters of a canonical line and its LF, and drops the
// middle of a longer one: a serial read that fills this lost bytes unseen.
constexpr size_t canonical_line_capacity = 4096;

struct line_assembly {
    char line_buffer[text_capacity]; // the unit being cut; the text relayed from it
    // The head of a line waiting for the rest (UDP), or a whole sentence
    // being relayed; only the head counts in held_length.
    char held[text_capacity];
    size_t held_length;
    bool joins;        // a head waits for the next piece (UDP); else it is torn (serial)
    bool rest_dropped; // a head was dropped: its rest goes too, up to its line end
    // The line end the last piece left owing: after a CR, an LF first in the
    // next piece is its second half; after a whole sentence relayed without
    // its line end, a CR LF, CR or LF first in the next piece is that line end.
    line_end_owed owed;
    // Pieces of lines dropped since the owner last took the count (and set
    // it back to 0).
    unsigned long dropped;
};

// At most two texts come of one piece: its unit, and a whole sentence
// after the unit's last line end.
struct relayed_texts {
    const char *text[2]; // each NUL-terminated, ending with its line end
    size_t length[2];
    unsigned count;
};

// `joins`: UDP datagrams, whose lines may be split over several; serial
// reads are lines of their own.
void assembly_reset(line_assembly *a, bool joins);

// Takes one piece of input: a datagram, or a serial read. `cut` says that
// the piece was longer than `length` (a receive cut it); 0 bytes is an empty
// datagram or a failed receive. Returns the texts to relay, which stay valid
// until the next call. The rules, in order:
// - a line end first in the piece that the last piece left owing (an LF
//   after a CR; a CR LF, CR or LF after a whole sentence relayed without
//   its line end) is passed over;
// - a serial read that fills the canonical line buffer is torn: dropped;
// - an empty piece drops a head still held;
// - a piece that begins with '$', '!' or a TAG block's '\' begins a
//   sentence: a head still held is dropped rather than glued to it;
// - otherwise, after a head was dropped (a failed or empty receive, a cut,
//   a NUL, a full buffer, a serial read without its line end), the piece up
//   to and including its first line end is the rest of that line, dropped;
// - the head and the piece are joined, up to 8191 bytes; the rest of a
//   piece that does not fit is cut, as a receive cuts;
// - the unit runs to the last line end; each line in it that holds a NUL is
//   dropped, unless it holds nothing else (padding); the rest is normalised;
// - what follows the unit's last line end is, in turn: dropped when the
//   piece was cut; nothing when it is only NULs; a text of its own when,
//   without NULs after it, it is one whole sentence (its LF added); dropped
//   when it holds a NUL, fills the buffer, or the input does not join;
//   else held as the head of the next line.
// Every drop but padding is counted in `dropped`.
void assembly_take(line_assembly *a, const char *bytes, size_t length, bool cut, relayed_texts *out);

// One whole NMEA sentence without its line end, after any TAG blocks
// ('\' to '\'): '$' or '!', then no line end and no NUL, then '*' and two
// hex digits that match the checksum of the characters between. The only place a checksum is looked at, and only
// to know where a sentence ends.
bool whole_sentence(const char *text, size_t length);
