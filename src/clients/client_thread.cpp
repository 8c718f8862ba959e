// SPDX-License-Identifier: BSD-2-Clause
#include "clients/client_thread.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/counters.h"
#include "app/detached_thread.h"
#include "app/settings.h"
#include "clients/client_socket.h"
#include "relay/serial_output.h"
#include "relay/serial_port.h"

// Client data is moved in chunks of this size; one chunk is one unit on the
// serial line, so no larger than the device's writer takes.
constexpr size_t client_chunk_size = serial_client_unit;

// Client threads need little stack; a small one keeps a hundred of them
// cheap in address space on 32-bit devices.
constexpr size_t client_stack_size = 256 * 1024;

// How often a thread that is not taking client text looks whether a serial
// device has opened meanwhile; the relay retries opening one at this pace.
constexpr int device_check_ms = 1500;

static void *client_thread(void *argument)
{
    client_link *link = static_cast<client_link *>(argument);
    char buffer[client_chunk_size];
    bool peer_closed = false; // the client has shut down its sending side
    link->backlog.fetch_sub(thread_not_running, std::memory_order_release);
    for (;;) {
        // Client text is read only while a serial device is open; otherwise
        // it waits in the socket. Either way a broken connection wakes us.
        // Relayed text reaches this thread only when the client has fallen
        // behind, so nothing else wakes it when a device opens: while one
        // may, look again at the relay's own pace.
        bool take_text = ttyfd.load() > 0 && !peer_closed;
        int timeout = settings.use_serial && !take_text && !peer_closed ? device_check_ms : -1;
        pollfd watch[2] = {{link->pipe_read, POLLIN, 0}, {link->socket, static_cast<short>(take_text ? POLLIN : 0), 0}};
        if (poll(watch, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watch[0].revents != 0) {
            ssize_t got = read(link->pipe_read, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (!send_all(link->socket, buffer, static_cast<size_t>(got))) {
                count_client_end(errno);
                // Gone, or it took nothing for a minute: a reset drops what
                // still waits for it at once instead of offering it longer.
                linger at_once = {1, 0};
                setsockopt(link->socket, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
                break;
            }
            // Sent: the relay may send straight again once nothing is left.
            link->backlog.fetch_sub(static_cast<size_t>(got), std::memory_order_release);
        }
        if (watch[1].revents & POLLERR)
            count_client_end(socket_error(link->socket));
        if (watch[1].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        if (watch[1].revents & POLLIN) {
            ssize_t got = recv(link->socket, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                serial_write(buffer, static_cast<size_t>(got));
            else if (got == 0)
                peer_closed = true; // it may still read; a failed send ends it
        }
    }
    registry_remove(link);
    return nullptr;
}

bool start_client_thread(client_link *link)
{
    return start_detached_thread(client_thread, link, client_stack_size);
}
