// SPDX-License-Identifier: BSD-2-Clause
// Sentences for the load tool: a fixed mix of receiver and AIS sentences
// whose last field carries a sequence number and the send time, so that every
// line a client receives can be matched to the datagram that carried it and
// its delay measured on the same clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nmea_compose.h"

// Room for one stamped sentence with its CR LF and terminator: the longest
// body of the mix plus the stamp field.
constexpr size_t stamped_line_size = nmea_sentence_size + 32;

// One sentence of the mix without its checksum: the start character ('$' or
// '!') and what stands between it and the '*'.
struct sentence_body {
    char start;
    char body[nmea_sentence_size];
};

// Lines in one second of the mix: GGA, RMC, VTG, three GSV and two AIS VDM
// position reports, as a receiver and an AIS receiver on one feed give them.
constexpr int mix_lines_per_second = 8;

// Fills `bodies` with `count` sentences: successive seconds of a short trip.
// Returns false when a sentence could not be composed.
bool compose_mix(sentence_body *bodies, int count);

// Writes the sentence with ",<seq>-<send_us>" appended as its last field, the
// checksum and CR LF. Returns the length, or -1 when it does not fit.
int stamp_sentence(const sentence_body &sentence, uint32_t seq, uint64_t send_us, char *out, size_t capacity);

// Reads the stamp back from a received line (with or without its line end).
// Lines without one (a peer's own status lines, say) give false.
bool parse_stamp(const char *line, size_t length, uint32_t *seq, uint64_t *send_us);
