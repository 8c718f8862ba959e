// SPDX-License-Identifier: BSD-2-Clause
#include "load_stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>

uint32_t percentile(std::vector<uint32_t> *samples, double fraction)
{
    if (samples->empty())
        return 0;
    double rank = std::ceil(fraction * static_cast<double>(samples->size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    if (index >= samples->size())
        index = samples->size() - 1;
    std::nth_element(samples->begin(), samples->begin() + static_cast<std::ptrdiff_t>(index), samples->end());
    return (*samples)[index];
}

void tally_reset(client_tally *tally, uint32_t lines)
{
    tally->seen.assign(lines, 0);
    tally->delivered = 0;
    tally->duplicates = 0;
    tally->out_of_order = 0;
    tally->strangers = 0;
    tally->highest = 0;
    tally->served = false;
}

bool tally_line(client_tally *tally, uint32_t seq)
{
    tally->served = true;
    if (seq == 0)
        return false;
    if (seq > tally->seen.size()) {
        tally->strangers++;
        return false;
    }
    if (tally->seen[seq - 1]) {
        tally->duplicates++;
        return false;
    }
    tally->seen[seq - 1] = 1;
    tally->delivered++;
    if (seq < tally->highest)
        tally->out_of_order++;
    else
        tally->highest = seq;
    return true;
}

run_losses sum_losses(const std::vector<client_tally> &tallies, uint32_t lines)
{
    run_losses sum = {};
    sum.fewest_delivered = tallies.empty() ? 0 : lines;
    for (const client_tally &tally : tallies) {
        if (tally.served)
            sum.served++;
        uint64_t missing = lines - std::min<uint64_t>(tally.delivered, lines);
        sum.lost += missing;
        if (missing > 0)
            sum.clients_with_loss++;
        sum.fewest_delivered = std::min(sum.fewest_delivered, tally.delivered);
        sum.duplicates += tally.duplicates;
        sum.out_of_order += tally.out_of_order;
        sum.strangers += tally.strangers;
    }
    return sum;
}

void stream_reset(line_stream *stream)
{
    stream->used = 0;
    stream->taken = 0;
    stream->overlong = 0;
}

char *stream_room(line_stream *stream, size_t *room)
{
    if (stream->taken > 0) {
        memmove(stream->data, stream->data + stream->taken, stream->used - stream->taken);
        stream->used -= stream->taken;
        stream->taken = 0;
    }
    if (stream->used == sizeof stream->data) {
        // A line longer than the whole buffer: no line of the mix is, so it
        // is garbage; drop it rather than stall.
        stream->used = 0;
        stream->overlong++;
    }
    *room = sizeof stream->data - stream->used;
    return stream->data + stream->used;
}

void stream_received(line_stream *stream, size_t count)
{
    stream->used += count;
}

bool stream_next_line(line_stream *stream, const char **line, size_t *length)
{
    const char *start = stream->data + stream->taken;
    const char *end = static_cast<const char *>(memchr(start, '\n', stream->used - stream->taken));
    if (end == nullptr)
        return false;
    *line = start;
    *length = static_cast<size_t>(end - start) + 1;
    stream->taken += *length;
    return true;
}
