// SPDX-License-Identifier: BSD-2-Clause
#include "relay/serial_output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/detached_thread.h"
#include "base/monotonic_clock.h"
#include "base/settings.h"
#include "relay/serial_port.h"
#include "relay/text_normalise.h"
#include "relay/text_queue.h"

// Units waiting for the writer thread, all guarded by queue_lock.
static std::mutex queue_lock;
// Never destroyed: the writer waits on them until the process ends, and a
// condition variable destroyed at exit under a waiter would hold the exit.
static std::condition_variable &unit_waiting = *new std::condition_variable; // the writer waits for a unit
static std::condition_variable &client_room = *new std::condition_variable;  // client threads wait for the slot
static text_queue relay_queue;           // relayed texts, bounded by the backlog in line time
static char client_slot[serial_client_unit]; // one client's unit; others wait
static size_t client_length = 0;            // 0: the slot is free
static long long relayed_past_client_us = 0; // line time of relayed texts written while a client unit waited
static bool writer_running = false;

long serial_byte_us(int baud)
{
    long on_the_line = baud > 0 ? (10L * 1000000 + baud - 1) / baud : 0;
    return on_the_line > 500 ? on_the_line : 500;
}

size_t serial_backlog_bytes(int baud)
{
    return static_cast<size_t>(serial_backlog_ms * 1000L / serial_byte_us(baud));
}

// Writes one byte if the device open as `generation` takes it. 1: written;
// 0: no room now (its descriptor in *fd, to wait on, and, when it is the
// driver's queue that is full, how much waits there in *queued); -1: the
// device is gone or failed. With `look`, the driver's queue is asked first.
static int write_byte(char byte, unsigned generation, bool look, int *fd, int *queued)
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    *fd = ttyfd.load();
    *queued = 0;
    if (*fd <= 0 || serial_generation != generation)
        return -1;
    // Drivers that report their output queue (a UART does, a pty says 0)
    // would otherwise take kilobytes that a line without CTS, or a slower
    // line than configured, hands over seconds later as if current.
    int waiting = 0;
    if (look && ioctl(*fd, TIOCOUTQ, &waiting) == 0 && waiting > static_cast<int>(serial_kernel_allowance / 2)) {
        *queued = waiting;
        return 0;
    }
    for (;;) {
        ssize_t written = write(*fd, &byte, 1);
        if (written == 1)
            return 1;
        if (written < 0 && errno == EINTR)
            continue;
        return written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

static void pause_us(long long us)
{
    const timespec pause = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&pause, nullptr);
}

// A unit cut because the device took nothing: what its driver still holds
// (up to the allowance) would go out whenever the line frees, however late,
// as a torn, stale line. Only on the device the unit was for. Returns how
// many bytes the driver said it held, 0 where it says nothing.
static size_t discard_pending(unsigned generation)
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    int fd = ttyfd.load();
    int waiting = 0;
    if (fd <= 0 || serial_generation != generation)
        return 0;
    if (ioctl(fd, TIOCOUTQ, &waiting) != 0 || waiting < 0)
        waiting = 0;
    return tcflush(fd, TCOFLUSH) == 0 ? static_cast<size_t>(waiting) : 0;
}

size_t write_paced(const char *bytes, size_t n, unsigned generation, int patience_ms, size_t *discarded)
{
    const long byte_us = serial_byte_us(settings.baud);
    // The driver's queue is looked at before a unit and every half
    // allowance, and must hold no more than that: it never holds more than
    // the allowance.
    const size_t look_every = serial_kernel_allowance / 2;
    size_t done = 0;
    long long stalled_since = -1;
    int last_queued = -1;
    long long due_us = monotonic_us(); // when the next byte is due on the line
    while (done < n) {
        int fd, queued;
        int result = write_byte(bytes[done], generation, done % look_every == 0, &fd, &queued);
        if (result < 0)
            return done;
        if (result > 0) {
            done++;
            stalled_since = -1;
            last_queued = -1;
            patience_ms = serial_stall_ms;
            // Paced by the clock, not by a sum of sleeps, whose overshoot
            // would leave the line idle a twentieth of the time; after a
            // wait longer than a byte the pace starts afresh, so bytes never
            // go out faster than one ahead. The device's ONLCR puts a CR
            // before each LF: two bytes on the line.
            long long now_us = monotonic_us();
            due_us = (now_us - due_us < byte_us ? due_us : now_us) + (bytes[done - 1] == '\n' ? 2 : 1) * byte_us;
            if (due_us > now_us)
                pause_us(due_us - now_us);
            continue;
        }
        long long now = monotonic_ms();
        // A driver queue that shrinks is a device taking bytes.
        if (stalled_since < 0 || (queued > 0 && last_queued >= 0 && queued < last_queued))
            stalled_since = now;
        last_queued = queued;
        long long left = stalled_since + patience_ms - now;
        if (left <= 0) {
            size_t thrown = discard_pending(generation);
            if (discarded != nullptr)
                *discarded = thrown;
            return done;
        }
        if (queued > 0) {
            // Room comes as the line sends what waits; nothing to poll for.
            long long drain_us = (queued - static_cast<long long>(look_every)) * byte_us;
            pause_us(drain_us < left * 1000 ? (drain_us < 100000 ? drain_us : 100000) : left * 1000);
            continue;
        }
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

// What take_unit hands the writer.
struct unit_taken {
    size_t length;
    bool from_client;
    long long queued_ms; // relayed texts: when offered
};

// Takes the next unit: relayed texts first, so that client text never holds
// up the relay's lines for more than the client line being written. A
// client unit that has waited while relayed texts held the line for
// serial_client_share_ms goes next. Client units wait for a device, so that
// a device that closes meanwhile does not take them with it.
static unit_taken take_unit(char *unit)
{
    std::unique_lock<std::mutex> hold(queue_lock);
    for (;;) {
        if (relay_queue.used > 0 || (client_length > 0 && ttyfd.load() > 0))
            break;
        // The relay does not tell this thread when a device opens: look again
        // now and then while client text waits for one.
        if (client_length > 0)
            unit_waiting.wait_for(hold, std::chrono::milliseconds(100));
        else
            unit_waiting.wait(hold);
    }
    bool client_due = client_length > 0 && ttyfd.load() > 0 &&
                      relayed_past_client_us >= serial_client_share_ms * 1000LL;
    if (relay_queue.used > 0 && !client_due) {
        long long queued_ms = 0;
        size_t length = text_queue_take(&relay_queue, unit, &queued_ms);
        if (client_length > 0)
            relayed_past_client_us += static_cast<long long>(length) * serial_byte_us(settings.baud);
        return {length, false, queued_ms};
    }
    size_t length = client_length;
    memcpy(unit, client_slot, length);
    client_length = 0;
    relayed_past_client_us = 0;
    client_room.notify_one();
    return {length, true, 0};
}

size_t texts_discarded(const unit_on_line *recent, size_t count, size_t cut_head, size_t discarded)
{
    size_t texts = 0;
    for (size_t left = discarded > cut_head ? discarded - cut_head : 0; left > 0 && count > 0; count--) {
        const unit_on_line &unit = recent[count - 1];
        texts += unit.relayed;
        left -= left < unit.bytes ? left : unit.bytes;
    }
    return texts;
}

// Its bytes on the line: the device's ONLCR puts a CR before each LF.
static size_t line_bytes(const char *bytes, size_t n)
{
    return n + static_cast<size_t>(std::count(bytes, bytes + n, '\n'));
}

static void *serial_writer(void *)
{
    static char unit[text_capacity];
    // Once a unit was cut for a stall, later units are dropped whole while
    // the device still takes nothing, rather than each waiting out the stall
    // and going out torn.
    bool stuck = false;
    // The line on this device was torn (a unit cut, what waited in the
    // driver discarded): a line end goes out before the next unit, so that
    // the torn piece stands on a line of its own and no line carries bytes of
    // two units.
    bool torn = false;
    unsigned torn_on = 0;
    // The units written since the last discard, newest last: what the driver
    // still holds is the end of them. More than the allowance spans.
    unit_on_line recent[16];
    size_t recent_count = 0;
    for (;;) {
        unit_taken taken = take_unit(unit);
        // Waited too long: handed over now it would pass for current.
        if (!taken.from_client && monotonic_ms() - taken.queued_ms > serial_stale_ms) {
            count_shared(counters.drop_device);
            continue;
        }
        unsigned generation = current_generation();
        int patience = stuck ? 0 : serial_stall_ms;
        size_t done = 0, discarded = 0;
        bool line_clear = !torn || torn_on != generation;
        if (!line_clear && write_paced("\n", 1, generation, patience, &discarded) == 1) {
            line_clear = true;
            patience = serial_stall_ms; // it takes bytes again
            recent_count = 0;           // what the torn unit left is out or gone
        }
        if (line_clear)
            done = write_paced(unit, taken.length, generation, patience, &discarded);
        stuck = done < taken.length && ttyfd.load() > 0;
        torn = stuck;
        torn_on = generation;
        if (stuck && !taken.from_client)
            count_shared(counters.drop_device); // cut short: the device took nothing
        // Relayed texts whose ends the discard threw away, where the driver
        // said how much it held.
        size_t on_line = line_bytes(unit, done);
        count_shared(counters.drop_device, texts_discarded(recent, recent_count, on_line, discarded));
        if (stuck) {
            recent_count = 0;
            continue;
        }
        if (recent_count == sizeof recent / sizeof recent[0])
            memmove(recent, recent + 1, --recent_count * sizeof recent[0]);
        recent[recent_count++] = {on_line, !taken.from_client};
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

bool serial_offer(const char *text, size_t length)
{
    if (ttyfd.load() <= 0 || length == 0 || length >= text_capacity)
        return false;
    long long now = monotonic_ms();
    std::lock_guard<std::mutex> hold(queue_lock);
    if (!writer_running)
        return false;
    int dropped = 0;
    bool queued = text_queue_offer(&relay_queue, text, length, now, serial_backlog_bytes(settings.baud), &dropped);
    count_shared(counters.drop_device, static_cast<uint64_t>(dropped));
    if (queued)
        unit_waiting.notify_one();
    return queued;
}

bool serial_write(const char *bytes, size_t n, int wait_ms)
{
    if (n == 0 || n > serial_client_unit)
        return false;
    std::unique_lock<std::mutex> hold(queue_lock);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (client_length > 0 && writer_running && ttyfd.load() > 0)
        if (client_room.wait_until(hold, until) == std::cv_status::timeout)
            break;
    if (client_length > 0 || !writer_running || ttyfd.load() <= 0)
        return false;
    memcpy(client_slot, bytes, n);
    client_length = n;
    unit_waiting.notify_one();
    return true;
}

size_t client_unit(const char *bytes, size_t n, bool quiet, char *unit, size_t *length)
{
    size_t taken = 0;
    bool folded = false;
    for (size_t i = 0; i < n && taken == 0; i++) {
        if (bytes[i] == '\n') {
            taken = i + 1;
        } else if (bytes[i] == '\r') {
            folded = i + 1 < n && bytes[i + 1] == '\n';
            if (folded)
                taken = i + 2;
            else if (i + 1 < n || quiet || n >= serial_client_unit)
                taken = i + 1;
            else
                break; // its LF may be on the way
        }
    }
    if (taken == 0 && (quiet || n >= serial_client_unit))
        taken = n;
    // The device's ONLCR turns the LF of a CR LF back into CR LF.
    *length = folded ? taken - 1 : taken;
    memcpy(unit, bytes, *length);
    if (folded)
        unit[*length - 1] = '\n';
    return taken;
}
