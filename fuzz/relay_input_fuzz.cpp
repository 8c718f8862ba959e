// SPDX-License-Identifier: BSD-2-Clause
// Arbitrary sequences of UDP datagrams and serial reads through line
// assembly, normalisation, the position reports (files in a temporary
// directory) and the serial device's queue, checking what every relayed text
// must be and what the queue may hold.
//
// Input: records of [kind byte][length, 2 bytes little-endian][bytes]. Kind
// bit 0: serial read (1) or datagram (0); bit 1: UDP input switched off.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

#include "app/settings.h"
#include "relay/line_assembly.h"
#include "relay/text_normalise.h"
#include "relay/text_queue.h"
#include "report/position_reports.h"

// Every relayed text ends with its line end, a LF, and holds no NUL.
static void check_relayed(const char *text, size_t length)
{
    if (length < min_text_length || length > text_capacity - 1)
        abort();
    if (text[length] != '\0' || strlen(text) != length || text[length - 1] != '\n')
        abort();
}

static text_queue device_queue;

// Within its bound (or one text alone), its count of text bytes right, and no two of one sentence type waiting.
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

static void relay(const char *text, size_t length)
{
    check_relayed(text, length);
    update_position_reports(text);
    int dropped;
    const size_t backlog = 959; // 4800 baud
    text_queue_offer(&device_queue, text, length, 0, backlog, &dropped);
    check_device_queue(backlog);
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static line_assembly udp_line;
    static char serial_text[text_capacity];
    assembly_reset(&udp_line);
    clear_position_stores();
    static char taken[text_capacity];
    long long queued_ms;
    while (text_queue_take(&device_queue, taken, &queued_ms) > 0) {
    }

    while (size >= 3) {
        uint8_t kind = data[0];
        size_t length = data[1] | (static_cast<size_t>(data[2]) << 8);
        data += 3;
        size -= 3;
        if (length > size)
            length = size;
        if (kind & 1) {
            // A serial read: at most 8191 bytes land in the buffer.
            size_t got = length < text_capacity - 1 ? length : text_capacity - 1;
            memcpy(serial_text, data, got);
            bool torn;
            size_t relayed = read_text_to_relay(serial_text, static_cast<long>(got), &torn);
            if (relayed > 0)
                relay(serial_text, relayed);
        } else {
            size_t got = static_cast<size_t>(assembly_put(&udp_line, reinterpret_cast<const char *>(data), length));
            bool accept = !(kind & 2);
            size_t relayed;
            const char *text = assembly_text_to_relay(&udp_line, static_cast<long>(got), accept, &relayed);
            if (text != nullptr)
                relay(text, relayed);
            text = assembly_held_sentence(&udp_line, &relayed);
            if (text != nullptr)
                relay(text, relayed);
            // What waits is the head of a line: never past the room, never a sentence glued to another.
            if (udp_line.cursor > text_capacity - 1 || udp_line.tail_length > text_capacity - 1)
                abort();
        }
        data += length;
        size -= length;
    }
    return 0;
}
