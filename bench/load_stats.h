// SPDX-License-Identifier: BSD-2-Clause
// What the load tool counts: which lines each client received, their delays,
// and the figures of a run drawn from them. Pure: no sockets, no clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The value at or below which `fraction` (0 to 1) of the samples lie, by
// nearest rank: the ceil(fraction * n)-th smallest, the smallest for 0.
// Reorders the samples. 0 when there are none.
uint32_t percentile(std::vector<uint32_t> *samples, double fraction);

// One client's view of a run. Sequence numbers 1 to `lines` are the measured
// lines; 0 marks the warm-up lines that only show the client is served.
struct client_tally {
    std::vector<uint8_t> seen; // seen[seq - 1]: that line arrived
    uint64_t delivered;        // distinct measured lines
    uint64_t duplicates;       // measured lines that came again
    uint64_t out_of_order;     // measured lines that came after a later one
    uint64_t strangers;        // sequence numbers that were never sent
    uint32_t highest;          // highest measured sequence number so far
    bool served;               // any stamped line arrived, warm-up included
};

void tally_reset(client_tally *tally, uint32_t lines);

// Counts one received line. True when it is a measured line seen for the
// first time, whose delay then belongs to the run's samples.
bool tally_line(client_tally *tally, uint32_t seq);

// The figures of a run over every client.
struct run_losses {
    int served;               // clients that received anything at all
    uint64_t lost;            // measured lines missing, summed over clients
    int clients_with_loss;    // clients that missed at least one line
    uint64_t fewest_delivered;
    uint64_t duplicates;
    uint64_t out_of_order;
    uint64_t strangers;
};

run_losses sum_losses(const std::vector<client_tally> &tallies, uint32_t lines);

// Splits a byte stream into lines. Bytes come in at room(); whole lines are
// taken out with next_line(); what is left of a line stays for the next read.
constexpr size_t line_stream_capacity = 64 * 1024;

struct line_stream {
    char data[line_stream_capacity];
    size_t used;     // bytes held
    size_t taken;    // bytes already handed out as lines
    uint64_t overlong; // lines dropped because they did not fit
};

void stream_reset(line_stream *stream);
// Where the next read goes and how much fits; moves an unfinished line to the front first.
char *stream_room(line_stream *stream, size_t *room);
void stream_received(line_stream *stream, size_t count);
// The next whole line, its line feed included; false when none is complete.
bool stream_next_line(line_stream *stream, const char **line, size_t *length);
