// SPDX-License-Identifier: BSD-2-Clause
// The relay cycle itself: receives of 1 to 8 datagrams of any bytes and any
// length up to 65,507, and serial reads, through the functions the relay
// loop runs: line assembly, normalisation, the position reports (files in a
// temporary directory), the serial device's queue and the clients' batch.
// Every text relayed is checked against the line rules' model, written from
// the man page; each output (the broadcast, the clients, the serial device,
// the reports) must get exactly the lines of those texts that its filter's
// model, also written from the man page, lets through, in order, and the
// counters must count what the models count.
//
// Input: [filter byte], then cycles of [head byte] then its datagrams and
// read. Filter byte: two bits an output (udp, tcp, serial, reports, from
// the lowest), each the index of its filter in `filters` (0: none). Head
// bits 0-2: datagrams in the receive, less one; bit 3: a serial read follows
// them; bit 4: the receive failed (no datagrams); bits 5-7: quarter seconds
// the clock goes on before the cycle. Each datagram or read: [length, 2
// bytes little-endian][bytes].
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unistd.h>

#include "base/counters.h"
#include "base/settings.h"
#include "model/line_rules_model.h"
#include "model/sentence_filter_model.h"
#include "relay/relay_cycle.h"
#include "relay/text_queue.h"
#include "report/position_reports.h"

static text_queue device_queue;
// What each output was handed, in order: every batch for the clients.
static std::string got[filter_outputs];
static long long fake_now_us = 0;

// Each output picks one; they differ in what they try: kplex's example, a
// limit per source with decimals, AIS parts held together, every line held.
static const char *const filters[] = {
    nullptr,
    "+GP***:+AI***:+SDDBT:-all",
    "-GPGSV:~**RMC/0.5:~AIVDM/1%udp:~all/2%serial",
    "-all%udp:~AIVD*/0.75:+GPGGA:-*P***:~all/1.5",
};

// Within its bound (or one text alone), its count of text bytes right, and
// no two of one sentence type waiting.
static void check_device_queue(size_t backlog)
{
    size_t at = 0, text_bytes = 0, entries = 0;
    queued_text header, other;
    for (; at < device_queue.used; at += sizeof header + header.length, entries++) {
        memcpy(&header, device_queue.bytes + at, sizeof header);
        text_bytes += header.length;
        for (size_t next = 0; next < at && header.type.address[0] != '\0'; next += sizeof other + other.length) {
            memcpy(&other, device_queue.bytes + next, sizeof other);
            if (other.type.part == header.type.part && strcmp(other.type.address, header.type.address) == 0)
                abort();
        }
    }
    if (at != device_queue.used || text_bytes != device_queue.text_bytes || (entries > 1 && text_bytes > backlog))
        abort();
}

static bool to_device(const char *text, size_t length)
{
    const size_t backlog = 959; // 4800 baud
    int dropped;
    got[output_serial].append(text, length);
    bool queued = text_queue_offer(&device_queue, text, length, 0, backlog, &dropped);
    check_device_queue(backlog);
    return queued;
}

// A batch: within its bounds, its ends in order, every text a line.
static void to_clients(const char *texts, const size_t *ends, unsigned count)
{
    if (count == 0 || count > client_batch_texts || ends[count - 1] > client_batch_bytes)
        abort();
    for (unsigned i = 0; i < count; i++) {
        size_t start = i > 0 ? ends[i - 1] : 0;
        if (ends[i] <= start || texts[ends[i] - 1] != '\n' || memchr(texts + start, '\0', ends[i] - start))
            abort();
    }
    got[output_tcp].append(texts, ends[count - 1]);
}

static void to_broadcast(const char *text, size_t length)
{
    if (length == 0 || strlen(text) < length)
        abort();
    got[output_udp].append(text, length);
}

static void to_reports(const char *text)
{
    got[output_reports] += text;
    update_position_reports(text);
}

static const char *report_directory;

static void remove_reports()
{
    for (const char *name : {"nmea.status", "nmea.status.tmp", "sbd10.status", "sbd10.status.tmp"}) {
        char path[512];
        snprintf(path, sizeof path, "%s/%s", report_directory, name);
        unlink(path);
    }
    rmdir(report_directory);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Memory-backed when there is one: report files are renamed on every RMC text.
    static char in_memory[] = "/dev/shm/gpsfanout-fuzz-XXXXXX";
    static char on_disk[] = "/tmp/gpsfanout-fuzz-XXXXXX";
    const char *directory = mkdtemp(in_memory);
    if (directory == nullptr)
        directory = mkdtemp(on_disk);
    if (directory == nullptr || !set_report_directory(directory))
        abort();
    report_directory = directory;
    atexit(remove_reports);
    settings.daemon_mode = true; // no echo on stdout
    settings.write_serial = true;
    settings.udp_input = true;
    relay_outputs = {to_clients, to_device, to_broadcast, to_reports, [] { return fake_now_us; }};
    return 0;
}

// The next [length][bytes] of the input, as much of it as there is.
static std::string next_piece(const uint8_t *&data, size_t &size)
{
    if (size < 2) {
        size = 0;
        return std::string();
    }
    size_t length = data[0] | (static_cast<size_t>(data[1]) << 8);
    data += 2;
    size -= 2;
    if (length > 65507)
        length = 65507; // the largest UDP payload
    if (length > size)
        length = size;
    std::string piece(reinterpret_cast<const char *>(data), length);
    data += length;
    size -= length;
    return piece;
}

// The models' filters, for the outputs that have one.
struct output_models {
    bool filtered[filter_outputs] = {};
    filter_model model[filter_outputs];
    unsigned long held[filter_outputs] = {};
};

// What each output is due of one relayed text, by the models.
static void expect_outputs(output_models &m, const std::string &text, const char *from, std::string *expected)
{
    std::string lines[filter_outputs];
    for (int o = 0; o < filter_outputs; o++) {
        unsigned held = 0;
        lines[o] = m.filtered[o] ? model_filter(m.model[o], text, from, fake_now_us, &held) : text;
        m.held[o] += held;
    }
    expected[output_udp] += lines[output_udp];
    expected[output_tcp] += lines[output_tcp];
    expected[output_reports] += lines[output_reports];
    // AIS is kept from the device after its filter.
    const std::string &serial = lines[output_serial];
    if (serial.find("VDM") == std::string::npos && serial.find("VDO") == std::string::npos)
        expected[output_serial] += serial;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    output_models models;
    settings.filtering = false;
    for (int o = 0; o < filter_outputs; o++) {
        const char *filter = filters[data[0] >> (2 * o) & 3];
        settings.filters[o].rule_count = 0;
        if (filter == nullptr)
            continue;
        char why[200];
        if (!parse_filter(filter, &settings.filters[o], why, sizeof why) || !model_parse(filter, &models.model[o]))
            abort();
        models.filtered[o] = settings.filtering = true;
    }
    data++;
    size--;
    relay_cycle_reset();
    clear_position_stores();
    static char taken[text_capacity];
    long long queued_ms;
    while (text_queue_take(&device_queue, taken, &queued_ms) > 0) {
    }
    for (auto &output : got)
        output.clear();
    line_rules_model udp, serial;
    serial.joins = false;
    uint64_t drops_before = counters.drop_fragments.load(), udp_before = counters.udp_in.load(),
             serial_before = counters.serial_in.load();
    uint64_t held_before[filter_outputs];
    for (int o = 0; o < filter_outputs; o++)
        held_before[o] = counters.filtered[o].load();

    std::string expected[filter_outputs]; // by the models, UDP before serial in each cycle
    while (size > 0) {
        size_t udp_seen = udp.relayed.size(), serial_seen = serial.relayed.size();
        uint8_t head = data[0];
        data++;
        size--;
        fake_now_us += (head >> 5) * 250000;
        if (head & 0x10) {
            relay_datagram(nullptr, 0, false);
            model_take(udp, std::string(), false);
        } else {
            for (unsigned i = 0; i <= (head & 7u) && size > 0; i++) {
                // A receive takes up to 8191 bytes of a datagram and says when it cut one.
                std::string datagram = next_piece(data, size);
                bool cut = datagram.size() > text_capacity - 1;
                relay_datagram(datagram.data(), cut ? text_capacity - 1 : datagram.size(), cut);
                model_take(udp, datagram.substr(0, text_capacity - 1), cut);
            }
        }
        if ((head & 8) && size > 0) {
            // A read brings at most 8191 bytes.
            std::string read = next_piece(data, size).substr(0, text_capacity - 1);
            relay_serial_read(read.data(), read.size());
            model_take(serial, read, false);
        }
        relay_to_clients();
        for (size_t i = udp_seen; i < udp.relayed.size(); i++)
            expect_outputs(models, udp.relayed[i], "udp", expected);
        for (size_t i = serial_seen; i < serial.relayed.size(); i++)
            expect_outputs(models, serial.relayed[i], "serial", expected);
        for (int o = 0; o < filter_outputs; o++)
            if (got[o] != expected[o])
                abort();
    }
    if (counters.udp_in.load() - udp_before != udp.relayed.size() ||
        counters.serial_in.load() - serial_before != serial.relayed.size() ||
        counters.drop_fragments.load() - drops_before != udp.drops + serial.drops)
        abort();
    for (int o = 0; o < filter_outputs; o++)
        if (counters.filtered[o].load() - held_before[o] != models.held[o])
            abort();
    return 0;
}
