// SPDX-License-Identifier: BSD-2-Clause
#include "relay/serial_output.h"

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <unistd.h>

#include "app/counters.h"
#include "app/detached_thread.h"
#include "app/monotonic_clock.h"
#include "relay/serial_port.h"
#include "relay/text_normalise.h"

// Units waiting for the writer thread, all guarded by queue_lock.
// Relayed texts, each stored as two length bytes then its bytes. The queue
// takes one text of any length when empty, so that a long one can still go.
constexpr size_t relay_queue_capacity = text_capacity + 2 + serial_relay_backlog;
static std::mutex queue_lock;
static std::condition_variable unit_waiting;  // the writer waits for a unit
static std::condition_variable client_room;   // client threads wait for the slot
static unsigned char relay_queue[relay_queue_capacity];
static size_t relay_queued = 0;   // bytes used in relay_queue, from its start
static char client_unit[serial_client_unit]; // one client's chunk; others wait
static size_t client_length = 0;            // 0: the slot is free
static size_t relayed_past_client = 0;      // relayed bytes written while a client chunk waited
static bool writer_running = false;

// Paced output: one byte per half millisecond at most, whatever the speed.
constexpr long pause_ns = 500 * 1000;

// Writes one byte if the device open as `generation` takes it. 1: written;
// 0: no room now (its descriptor in *fd, to wait on); -1: the device is gone
// or failed.
static int write_byte(char byte, unsigned generation, int *fd)
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    *fd = ttyfd.load();
    if (*fd <= 0 || serial_generation != generation)
        return -1;
    for (;;) {
        ssize_t written = write(*fd, &byte, 1);
        if (written == 1)
            return 1;
        if (written < 0 && errno == EINTR)
            continue;
        return written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

size_t write_paced(const char *bytes, size_t n, unsigned generation, int patience_ms)
{
    const timespec pause = {0, pause_ns};
    size_t done = 0;
    long long stalled_since = -1;
    while (done < n) {
        int fd;
        int result = write_byte(bytes[done], generation, &fd);
        if (result < 0)
            return done;
        if (result > 0) {
            done++;
            stalled_since = -1;
            patience_ms = serial_stall_ms;
            nanosleep(&pause, nullptr);
            continue;
        }
        long long now = monotonic_ms();
        if (stalled_since < 0)
            stalled_since = now;
        long long left = stalled_since + patience_ms - now;
        if (left <= 0)
            return done;
        // Outside the lock: a close meanwhile only wakes us early, and the
        // next byte finds the generation changed. Short waits, so a device
        // closed and replaced under the same number is noticed soon.
        pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, left < 100 ? static_cast<int>(left) : 100);
    }
    return done;
}

static unsigned current_generation()
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    return serial_generation;
}

// Takes the next unit: relayed texts first, so that client text never holds
// up the relay's lines for more than the chunk being written. A client chunk
// that has waited while a backlog's worth of relayed text went out goes
// next, so that a busy relay cannot keep clients from the line for ever.
static size_t take_unit(char *unit)
{
    std::unique_lock<std::mutex> hold(queue_lock);
    unit_waiting.wait(hold, [] { return relay_queued > 0 || client_length > 0; });
    bool client_due = client_length > 0 && relayed_past_client >= serial_relay_backlog;
    if (relay_queued > 0 && !client_due) {
        size_t length = static_cast<size_t>(relay_queue[0]) << 8 | relay_queue[1];
        memcpy(unit, relay_queue + 2, length);
        relay_queued -= 2 + length;
        memmove(relay_queue, relay_queue + 2 + length, relay_queued);
        if (client_length > 0)
            relayed_past_client += length;
        return length;
    }
    size_t length = client_length;
    memcpy(unit, client_unit, length);
    client_length = 0;
    relayed_past_client = 0;
    client_room.notify_one();
    return length;
}

static void *serial_writer(void *)
{
    static char unit[text_capacity];
    // Once a unit was cut for a stall, later units are dropped whole while
    // the device still takes nothing, rather than each waiting out the stall
    // and going out torn.
    bool stuck = false;
    for (;;) {
        size_t length = take_unit(unit);
        size_t done = write_paced(unit, length, current_generation(), stuck ? 0 : serial_stall_ms);
        stuck = done < length && ttyfd.load() > 0;
    }
    return nullptr;
}

bool serial_output_start()
{
    bool started = start_detached_thread(serial_writer, nullptr, 64 * 1024);
    std::lock_guard<std::mutex> hold(queue_lock);
    writer_running = started;
    return started;
}

void serial_offer(const char *text, size_t length)
{
    if (ttyfd.load() <= 0 || length == 0 || length >= text_capacity)
        return;
    std::lock_guard<std::mutex> hold(queue_lock);
    bool fits = relay_queued == 0 || relay_queued + 2 + length <= serial_relay_backlog;
    if (writer_running && !fits) count_one(counters.drop_device);
    if (!writer_running || !fits)
        return;
    relay_queue[relay_queued] = static_cast<unsigned char>(length >> 8);
    relay_queue[relay_queued + 1] = static_cast<unsigned char>(length);
    memcpy(relay_queue + relay_queued + 2, text, length);
    relay_queued += 2 + length;
    unit_waiting.notify_one();
}

void serial_write(const char *bytes, size_t n)
{
    if (n == 0 || n > serial_client_unit)
        return;
    std::unique_lock<std::mutex> hold(queue_lock);
    // Look again now and then: a device that closes meanwhile ends the wait.
    while (client_length > 0 && writer_running && ttyfd.load() > 0)
        client_room.wait_for(hold, std::chrono::milliseconds(100));
    if (!writer_running || ttyfd.load() <= 0)
        return;
    memcpy(client_unit, bytes, n);
    client_length = n;
    unit_waiting.notify_one();
}
