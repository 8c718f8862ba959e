// SPDX-License-Identifier: BSD-2-Clause
#include "clients/client_thread.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/detached_thread.h"
#include "base/messages.h"
#include "base/monotonic_clock.h"
#include "base/settings.h"
#include "clients/client_socket.h"
#include "relay/serial_output.h"
#include "relay/serial_port.h"

// Relayed text is moved from the pipe to the socket in chunks of this size.
constexpr size_t client_chunk_size = 4096;

// Client threads need little stack; a small one keeps a hundred of them
// cheap in address space on 32-bit devices.
constexpr size_t client_stack_size = 256 * 1024;

// How often a thread that is not taking client text looks whether a serial
// device has opened meanwhile; the relay retries opening one at this pace.
constexpr int device_check_ms = 1500;

// How long a thread waits at a time for the device's slot to hand over a
// unit; in between it forwards relayed text to its client.
constexpr int slot_wait_ms = 100;

// Text a client sent for the serial device, gathered until it makes whole
// units. Owned by its client thread.
struct client_text {
    char bytes[serial_client_unit];
    size_t length = 0;
    long long last_ms = 0; // when bytes last arrived
    char unit[serial_client_unit]; // the unit being handed over
};

static bool gone_quiet(const client_text *text)
{
    return monotonic_ms() - text->last_ms >= serial_client_quiet_ms;
}

// Takes what the client has sent, as far as there is room; notes when the
// client has shut down its sending side.
static void gather(int socket, client_text *text, bool *peer_closed)
{
    ssize_t got = recv(socket, text->bytes + text->length, sizeof text->bytes - text->length, MSG_DONTWAIT);
    if (got > 0) {
        text->length += static_cast<size_t>(got);
        text->last_ms = monotonic_ms();
    } else if (got == 0) {
        *peer_closed = true; // it may still read; a failed send ends it
    }
}

// Hands over the client's whole units, in order, while the device's writer
// takes them. Returns whether one is whole and still waits for its turn.
static bool hand_over(int socket, client_text *text, bool *peer_closed)
{
    while (text->length > 0) {
        // Quiet is judged by when bytes came, not by when this thread last
        // looked: handing over the lines before, or waiting for the device's
        // slot or for a device, may have taken seconds, in which the rest of
        // the line came. So what the socket holds is read first, and the
        // line is quiet only when nothing more was there.
        bool quiet = *peer_closed;
        if (!quiet && gone_quiet(text)) {
            size_t had = text->length;
            if (had < sizeof text->bytes)
                gather(socket, text, peer_closed);
            quiet = text->length == had;
        }
        size_t length;
        size_t taken = client_unit(text->bytes, text->length, quiet, text->unit, &length);
        if (taken == 0)
            return false;
        if (!serial_write(text->unit, length, slot_wait_ms))
            return true;
        text->length -= taken;
        memmove(text->bytes, text->bytes + taken, text->length);
    }
    return false;
}

// Sends on what the relay left in the pipe. Returns false when the client
// is to end: the pipe failed, or the client is gone or took nothing for a minute.
static bool send_relayed(client_link *link, char *buffer, size_t size)
{
    ssize_t got = read(link->pipe_read, buffer, size);
    if (got < 0 && errno == EINTR)
        return true;
    if (got <= 0)
        return false;
    if (!send_all(link->socket, buffer, static_cast<size_t>(got))) {
        count_client_end(errno);
        // Gone, or it took nothing for a minute: a reset drops what still
        // waits for it at once instead of offering it longer.
        linger at_once = {1, 0};
        setsockopt(link->socket, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
        return false;
    }
    // Sent: the relay may send straight again once nothing is left.
    link->backlog.fetch_sub(static_cast<size_t>(got), std::memory_order_release);
    return true;
}

// A client that may not write (-a): it gets relayed text as any other, and
// what it sends is read as it comes and discarded, device or none, so that
// its socket never fills and none of it ever waits for the receiver.
static void serve_reader(client_link *link)
{
    char buffer[client_chunk_size];
    bool peer_closed = false; // the client has shut down its sending side
    bool said = false;        // its text was discarded, and that was said
    for (;;) {
        pollfd watch[2] = {{link->pipe_read, POLLIN, 0},
                           {link->socket, static_cast<short>(peer_closed ? 0 : POLLIN), 0}};
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watch[0].revents != 0 && !send_relayed(link, buffer, sizeof buffer))
            return;
        if (watch[1].revents & POLLERR)
            count_client_end(socket_error(link->socket));
        if (watch[1].revents & (POLLERR | POLLHUP | POLLNVAL))
            return;
        if (!(watch[1].revents & POLLIN))
            continue;
        ssize_t got = recv(link->socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0)
            peer_closed = true; // it may still read; a failed send ends it
        if (got <= 0)
            continue;
        counters.client_bytes_discarded.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        count_many(link->discarded_bytes, static_cast<uint64_t>(got));
        if (!said) {
            char address[address_text_capacity];
            address_text(link->peer, address);
            complain("Client %s may not write to the receiver (-a): its text is discarded\n", address);
            said = true;
        }
    }
}

static void *client_thread(void *argument)
{
    client_link *link = static_cast<client_link *>(argument);
    char buffer[client_chunk_size];
    client_text text;
    bool peer_closed = false; // the client has shut down its sending side
    link->backlog.fetch_sub(thread_not_running, std::memory_order_release);
    if (!link->may_write) {
        serve_reader(link);
        registry_remove(link);
        return nullptr;
    }
    for (;;) {
        bool device = ttyfd.load() > 0;
        long long tried_ms = monotonic_ms();
        bool unit_waits = device && hand_over(link->socket, &text, &peer_closed);
        // The slot is waited for in serial_write. A refusal that did not wait
        // is waited out here instead, so that no refusal makes this spin.
        bool waited = monotonic_ms() - tried_ms >= slot_wait_ms / 2;
        // Client text is read while a serial device is open, also while a
        // unit waits for its turn, so that the rest of a line is there when
        // the line's head is judged; without a device it waits in the socket.
        // Either way a broken connection wakes us. Relayed text reaches this
        // thread only when the client has fallen behind, so nothing else
        // wakes it when a device opens: while one may, look again at the
        // relay's pace.
        bool take_text = device && !peer_closed && text.length < sizeof text.bytes;
        int timeout = -1;
        if (unit_waits)
            timeout = waited ? 0 : slot_wait_ms; // forward relayed text, then try again
        else if (device && text.length > 0)
            timeout = poll_ms_until(text.last_ms + serial_client_quiet_ms + 1, monotonic_ms());
        else if (settings.use_serial && (!device || text.length > 0) && !take_text)
            timeout = device_check_ms;
        pollfd watch[2] = {{link->pipe_read, POLLIN, 0}, {link->socket, static_cast<short>(take_text ? POLLIN : 0), 0}};
        if (poll(watch, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watch[0].revents != 0 && !send_relayed(link, buffer, sizeof buffer))
            break;
        if (watch[1].revents & POLLERR)
            count_client_end(socket_error(link->socket));
        if (watch[1].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        // Looked at again: a device that closed since the poll leaves the
        // text in the socket, for the next one.
        if ((watch[1].revents & POLLIN) && ttyfd.load() > 0)
            gather(link->socket, &text, &peer_closed);
    }
    registry_remove(link);
    return nullptr;
}

bool start_client_thread(client_link *link)
{
    return start_detached_thread(client_thread, link, client_stack_size);
}
