// SPDX-License-Identifier: BSD-2-Clause
#include "relay/relay_loop.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/dual_stack.h"
#include "base/messages.h"
#include "base/monotonic_clock.h"
#include "base/settings.h"
#include "clock/clock_feed.h"
#include "relay/broadcast_output.h"
#include "relay/relay_cycle.h"
#include "relay/serial_output.h"
#include "relay/serial_port.h"

// Everything below is owned by relay_thread alone.
static char serial_text[text_capacity];     // one serial read
static int input_socket = -1;               // UDP input, -1 when it could not be bound
static pollfd poll_set[2];                  // 0: UDP input, 1: serial device
static nfds_t poll_count = 1;               // 2 while a serial device is open
static long long next_search_ms = 0;        // when the device may be looked for again

constexpr int poll_timeout_ms = 1500;

// The device is looked for at most this often, however busy the inputs: a
// missing or refusing device costs nothing per line.
constexpr int search_interval_ms = 1500;

// Receive buffer asked for the UDP input (the kernel counts it twice).
constexpr int input_buffer_bytes = 1 << 20;

// Datagrams taken in one receive when several wait: under load each costs a
// poll and a receive less. Each is still relayed completely, in order,
// before the next is looked at. Each takes up to 8191 bytes; the receive
// says when it cut a longer one.
static char udp_datagrams[udp_batch][text_capacity];

// Room for a few seconds of sentences, so that lines keep while the relay
// is held up (a busy core, a slow serial write) instead of being dropped by
// the kernel. Beyond the system's limit only root may go.
static void give_input_room(int fd)
{
    int room = input_buffer_bytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
}

static int open_udp_input(int port)
{
    int fd = bound_socket(SOCK_DGRAM, static_cast<uint16_t>(port), give_input_room, "UDP input");
    if (fd < 0) {
        // The serial input and every output still work; say so, never hide it.
        complain_errno("Unable to bind UDP input port %u", static_cast<uint16_t>(port));
        return -1;
    }
    return fd;
}

static void relay_setup()
{
    broadcast_open(settings.out_udp_port);
    input_socket = open_udp_input(settings.in_udp_port);
    if (settings.use_serial) {
        serial_discard_at_exit();
        next_search_ms = monotonic_ms() + search_interval_ms;
        int fd = open_serial();
        if (fd > 0)
            serial_publish(fd);
    }
    progress("ttyfd = %d\n", ttyfd.load());
    poll_set[0] = {input_socket, POLLIN, 0};
    poll_set[1] = {ttyfd.load(), POLLIN, 0};
    poll_count = ttyfd.load() > 0 ? 2 : 1;
    relay_cycle_reset();
    clock_feed_open();
}

static void device_opened(int fd)
{
    serial_publish(fd);
    relay_serial_reset(); // a new device starts a new line
    progress("Opened ttyfd = %d\n", fd);
    poll_set[1] = {fd, POLLIN, 0};
    poll_count = 2;
}

static void device_closed()
{
    progress("Closing ttyfd %d\n", ttyfd.load());
    count_one(counters.device_lost);
    serial_close();
    // Looked for again at the usual pace, never at once: a device that
    // opens only to hang up again must not make the loop spin.
    next_search_ms = monotonic_ms() + search_interval_ms;
    poll_set[1] = {-1, POLLIN, 0};
    poll_count = 1;
}

static void receive_udp()
{
    iovec parts[udp_batch];
    mmsghdr messages[udp_batch];
    memset(messages, 0, sizeof messages);
    for (unsigned i = 0; i < udp_batch; i++) {
        parts[i].iov_base = udp_datagrams[i];
        parts[i].iov_len = text_capacity - 1;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got = recvmmsg(input_socket, messages, udp_batch, MSG_DONTWAIT, nullptr);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return; // nothing there after all; a head keeps waiting
    if (got <= 0) {
        relay_datagram(nullptr, 0, false);
        return;
    }
    for (int i = 0; i < got; i++)
        relay_datagram(udp_datagrams[i], messages[i].msg_len, (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0);
}

// Reads one line; returns how many bytes it read, 0 at the end, -1 when
// nothing is there now or the device failed (and was closed).
static ssize_t receive_serial()
{
    ssize_t got = read(ttyfd.load(), serial_text, text_capacity - 1);
    // The line's receive time, read before anything else is done with it.
    // Read for every line, as whether it tells the time is known only
    // later; CLOCK_REALTIME is read in the vDSO, without a system call.
    timespec received;
    bool feeds_clocks = settings.clock_count > 0 && got > 0;
    if (feeds_clocks)
        clock_gettime(CLOCK_REALTIME, &received);
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN)
            device_closed();
        return -1;
    }
    if (got > 0)
        relay_serial_read(serial_text, static_cast<size_t>(got), feeds_clocks ? &received : nullptr);
    return got;
}

// Lines a device that hangs up may still hold, read before it is closed.
constexpr int last_lines = 64;

// Until the next look for the device, when one is due sooner than the
// usual timeout, so that a receiver plugged in is found at the usual pace.
static int cycle_timeout_ms()
{
    // A close that takes its time is not waited for either: looked at again
    // after a usual timeout.
    if (!settings.use_serial || ttyfd.load() != -1 || serial_closing())
        return poll_timeout_ms;
    long long left = next_search_ms - monotonic_ms();
    return left < 0 ? 0 : left < poll_timeout_ms ? static_cast<int>(left) : poll_timeout_ms;
}

static void relay_cycle()
{
    int ready = poll(poll_set, poll_count, cycle_timeout_ms());
    if (ready < 0) {
        // The poll results are not valid; never act on them. Pause on a real
        // failure so the loop cannot spin.
        if (errno != EINTR) {
            const timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return;
    }

    // No look while the last device is still being closed: an open of the
    // same port would wait for that close.
    if (settings.use_serial && ttyfd.load() == -1 && !serial_closing()) {
        long long now = monotonic_ms();
        if (now >= next_search_ms) {
            next_search_ms = now + search_interval_ms;
            int fd = open_serial();
            if (fd > 0) {
                device_opened(fd);
                return; // this cycle's poll results predate the device
            }
        }
    }
    // A hang-up alone (no error) ends the device too: it would otherwise
    // report itself ready on every poll, for ever. What it sent before it
    // went is read first.
    bool device_ended = ttyfd.load() > 0 && ((poll_set[1].revents & (POLLERR | POLLHUP | POLLNVAL)) ||
                                             fcntl(ttyfd.load(), F_GETFD) < 0);
    bool serial_ready = poll_count == 2 && (poll_set[1].revents & POLLIN);
    bool udp_ready = ready > 0 && (poll_set[0].revents & POLLIN);
    if (device_ended && !serial_ready && !udp_ready) {
        device_closed();
        return;
    }

    if (ready == 0) {
        progress("POLL timeout: ttyfd = %d\n", ttyfd.load());
        return;
    }

    // Both inputs may be ready in one cycle: the UDP line goes first, then the
    // serial line, and neither is lost.
    if (udp_ready)
        receive_udp();
    if (serial_ready && ttyfd.load() > 0)
        receive_serial();
    relay_to_clients();
    if (device_ended && ttyfd.load() > 0) {
        // Each line is handed to the clients before the next is read: the
        // cycle's batch holds no more.
        for (int line = 1; line < last_lines && serial_ready && receive_serial() > 0; line++)
            relay_to_clients();
        if (ttyfd.load() > 0)
            device_closed();
    }
}

void *relay_thread(void *)
{
    relay_setup();
    for (;;)
        relay_cycle();
}
