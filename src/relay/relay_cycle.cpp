// SPDX-License-Identifier: BSD-2-Clause
#include "relay/relay_cycle.h"

#include <cstring>

#include "base/counters.h"
#include "base/messages.h"
#include "base/settings.h"
#include "clients/client_registry.h"
#include "clock/clock_feed.h"
#include "relay/broadcast_output.h"
#include "relay/serial_output.h"
#include "report/position_reports.h"

relay_sinks relay_outputs = {registry_write_batch, serial_offer};

// Everything below is owned by relay_thread alone.
static line_assembly udp_line;    // UDP datagrams being joined into lines
static line_assembly serial_line; // apart, so a UDP head survives a serial line

// The texts of one cycle, laid end to end until the clients get them
// together: one send per client per cycle instead of one per text.
static char client_batch[client_batch_bytes];
static size_t client_batch_ends[client_batch_texts];
static unsigned client_batch_count = 0;

void relay_cycle_reset()
{
    assembly_reset(&udp_line, true);
    relay_serial_reset();
    client_batch_count = 0;
}

void relay_serial_reset()
{
    assembly_reset(&serial_line, false);
}

void relay_to_clients()
{
    if (client_batch_count > 0)
        relay_outputs.clients(client_batch, client_batch_ends, client_batch_count);
    client_batch_count = 0;
}

// Hands one normalised text to every output, always in this order; the
// clients get it with the cycle's other texts, after all of them.
static void relay_text(const char *text, size_t length)
{
    broadcast_text(text, length);
    // The interface lines and the echo (which carries its own line end) are
    // one message: when standard output is full, both go or neither.
    size_t lines_length;
    const char *lines = broadcast_lines(&lines_length);
    progress_pair(lines, lines_length, text, length);
    update_position_reports(text);
    // AIS traffic is not the receiver's business.
    if (settings.write_serial && strstr(text, "VDM") == nullptr && strstr(text, "VDO") == nullptr)
        relay_outputs.device(text, length);
    // A full batch goes to the clients before this text joins the next:
    // a cycle may make up to two texts a datagram.
    size_t start = client_batch_count > 0 ? client_batch_ends[client_batch_count - 1] : 0;
    if (client_batch_count == client_batch_texts || start + length > client_batch_bytes) {
        relay_to_clients();
        start = 0;
    }
    memcpy(client_batch + start, text, length);
    client_batch_ends[client_batch_count++] = start + length;
}

// Relays what one piece of input gave, counting each text in `in`, and
// the pieces of lines the assembly dropped.
static void relay_taken(line_assembly *a, const relayed_texts &texts, counter &in)
{
    for (unsigned i = 0; i < texts.count; i++) {
        count_one(in);
        relay_text(texts.text[i], texts.length[i]);
    }
    count_many(counters.drop_fragments, a->dropped);
    a->dropped = 0;
}

void relay_datagram(const char *bytes, size_t length, bool cut)
{
    // With UDP input off a datagram is read and dropped: no head is ever held.
    if (!settings.udp_input)
        return;
    relayed_texts texts;
    assembly_take(&udp_line, bytes, length, cut, &texts);
    relay_taken(&udp_line, texts, counters.udp_in);
}

void relay_serial_read(const char *bytes, size_t length, const timespec *received)
{
    relayed_texts texts;
    assembly_take(&serial_line, bytes, length, false, &texts);
    relay_taken(&serial_line, texts, counters.serial_in);
    // After the outputs: the time was read when the line came, so the
    // clocks lose nothing by waiting, and the relay never waits for them.
    if (received != nullptr)
        for (unsigned i = 0; i < texts.count; i++)
            clock_offer(texts.text[i], texts.length[i], *received);
}
