// SPDX-License-Identifier: BSD-2-Clause
// The relay cycle itself: receives of 1 to 8 datagrams of any bytes and any
// length up to 65,507, and serial reads, through the functions the relay
// loop runs: line assembly, normalisation, the position reports (files in a
// temporary directory), the serial device's queue and the clients' batch.
// Every text relayed is checked against the line rules' model, written from
// the man page; what the clients get must be exactly those texts, in order,
// and the counters must count what the model counts.
//
// Input: cycles of [head byte] then its datagrams and read. Head bits 0-2:
// datagrams in the receive, less one; bit 3: a serial read follows them;
// bit 4: the receive failed (no datagrams). Each datagram or read:
// [length, 2 bytes little-endian][bytes].
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
#include "relay/relay_cycle.h"
#include "relay/text_queue.h"
#include "report/position_reports.h"

static text_queue device_queue;
static std::string clients_got; // every batch handed to the clients, in order

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
    clients_got.append(texts, ends[count - 1]);
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
    relay_outputs = {to_clients, to_device, relay_outputs.broadcast, relay_outputs.reports, relay_outputs.now_us};
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    relay_cycle_reset();
    clear_position_stores();
    static char taken[text_capacity];
    long long queued_ms;
    while (text_queue_take(&device_queue, taken, &queued_ms) > 0) {
    }
    clients_got.clear();
    line_rules_model udp, serial;
    serial.joins = false;
    uint64_t drops_before = counters.drop_fragments.load(), udp_before = counters.udp_in.load(),
             serial_before = counters.serial_in.load();

    std::string expected; // the model's texts, UDP before serial in each cycle
    while (size > 0) {
        size_t udp_seen = udp.relayed.size(), serial_seen = serial.relayed.size();
        uint8_t head = data[0];
        data++;
        size--;
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
            expected += udp.relayed[i];
        for (size_t i = serial_seen; i < serial.relayed.size(); i++)
            expected += serial.relayed[i];
        if (clients_got != expected)
            abort();
    }
    if (counters.udp_in.load() - udp_before != udp.relayed.size() ||
        counters.serial_in.load() - serial_before != serial.relayed.size() ||
        counters.drop_fragments.load() - drops_before != udp.drops + serial.drops)
        abort();
    return 0;
}
