// SPDX-License-Identifier: BSD-2-Clause
#include "relay/relay_cycle.h"

#include <cstring>

#include "base/counters.h"
#include "base/messages.h"
#include "base/monotonic_clock.h"
#include "base/settings.h"
#include "clients/client_registry.h"
#include "clock/clock_feed.h"
#include "relay/broadcast_output.h"
#include "relay/output_filters.h"
#include "relay/serial_output.h"
#include "report/position_reports.h"

relay_sinks relay_outputs = {registry_write_batch, serial_offer, broadcast_text, update_position_reports,
                             monotonic_us};

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
    output_filters_reset();
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
// clients get it with the cycle's other texts, after all of them. With -f
// each output gets the lines its filter lets through, and an output that
// gets none does nothing at all: no send, no write.
static void relay_text(const char *text, size_t length, line_source from)
{
    const char *out[filter_outputs] = {text, text, text, text};
    size_t out_length[filter_outputs] = {length, length, length, length};
    if (settings.filtering)
        output_filters_apply(text, length, from, relay_outputs.now_us(), out, out_length);
    if (out_length[output_udp] > 0)
        relay_outputs.broadcast(out[output_udp], out_length[output_udp]);
    // The interface lines and the echo (which carries its own line end) are
    // one message: when standard output is full, both go or neither. The
    // echo is the text as it came; the interface lines, of copies sent.
    size_t lines_length;
    const char *lines = broadcast_lines(&lines_length);
    progress_pair(lines, out_length[output_udp] > 0 ? lines_length : 0, text, length);
    if (out_length[output_reports] > 0)
        relay_outputs.reports(out[output_reports]);
    // AIS traffic is not the receiver's business.
    const char *serial = out[output_serial];
    if (settings.write_serial && out_length[output_serial] > 0 && strstr(serial, "VDM") == nullptr &&
        strstr(serial, "VDO") == nullptr)
        relay_outputs.device(serial, out_length[output_serial]);
    length = out_length[output_tcp];
    if (length == 0)
        return;
    // A full batch goes to the clients before this text joins the next:
    // a cycle may make up to two texts a datagram.
    size_t start = client_batch_count > 0 ? client_batch_ends[client_batch_count - 1] : 0;
    if (client_batch_count == client_batch_texts || start + length > client_batch_bytes) {
        relay_to_clients();
        start = 0;
    }
    memcpy(client_batch + start, out[output_tcp], length);
    client_batch_ends[client_batch_count++] = start + length;
}

// Relays what one piece of input gave, counting each text in `in`, and
// the pieces of lines the assembly dropped.
static void relay_taken(line_assembly *a, const relayed_texts &texts, counter &in, line_source from)
{
    for (unsigned i = 0; i < texts.count; i++) {
        count_one(in);
        relay_text(texts.text[i], texts.length[i], from);
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
    relay_taken(&udp_line, texts, counters.udp_in, source_udp);
}

void relay_serial_read(const char *bytes, size_t length, const timespec *received)
{
    relayed_texts texts;
    assembly_take(&serial_line, bytes, length, false, &texts);
    relay_taken(&serial_line, texts, counters.serial_in, source_serial);
    // After the outputs: the time was read when the line came, so the
    // clocks lose nothing by waiting, and the relay never waits for them.
    if (received != nullptr)
        for (unsigned i = 0; i < texts.count; i++)
            clock_offer(texts.text[i], texts.length[i], *received);
}
