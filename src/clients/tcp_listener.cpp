// SPDX-License-Identifier: BSD-2-Clause
#include "clients/tcp_listener.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "base/dual_stack.h"
#include "base/messages.h"
#include "base/monotonic_clock.h"
#include "base/networks.h"
#include "base/settings.h"
#include "clients/client_registry.h"
#include "clients/client_socket.h"
#include "clients/client_thread.h"

// Room for every client at once. Clients connect together when the daemon or
// a Wi-Fi access point restarts; those beyond the backlog may end connected
// on their side alone (SYN cookies), and one that never sends would then wait
// for ever for its first byte.
constexpr int listen_backlog = max_clients;

static void pause_briefly()
{
    const timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

static void serve_client(int socket, const sockaddr *peer)
{
    set_client_options(socket); // without them it is served all the same
    uint16_t port;
    ip_address address = address_of(peer, &port);
    bool writes = may_write(settings.writers, settings.writer_count, address);
    client_link *link = new (std::nothrow) client_link{-1, -1, socket, address, port, monotonic_ms(), writes};
    if (link == nullptr) {
        close(socket);
        return;
    }
    // Said once while pipes cannot be made, not for every client refused.
    static bool pipe_failure_said = false; // listener thread only
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        if (!pipe_failure_said)
            complain_errno("Unable to create pipe");
        pipe_failure_said = true;
        release_link(link);
        return;
    }
    pipe_failure_said = false;
    link->pipe_read = ends[0];
    link->pipe_write = ends[1];
    // The relay never waits for a client: a full pipe means that client misses a text.
    fcntl(link->pipe_write, F_SETFL, fcntl(link->pipe_write, F_GETFL) | O_NONBLOCK);
    if (!registry_add(link)) {
        // All slots taken: refuse at once rather than leave it waiting on a
        // pipe that nothing writes to.
        release_link(link);
        return;
    }
    if (!start_client_thread(link))
        registry_remove(link);
}

// A restarted daemon gets its port back while its last clients' connections
// still linger in TIME_WAIT.
static void reuse_address(int fd)
{
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void *listener_thread(void *)
{
    int listener = bound_socket(SOCK_STREAM, static_cast<uint16_t>(settings.out_tcp_port), reuse_address, "TCP");
    if (listener < 0 || listen(listener, listen_backlog) != 0) {
        complain_errno("Unable to listen on TCP port %u", static_cast<uint16_t>(settings.out_tcp_port));
        if (listener >= 0)
            close(listener);
        return nullptr; // the relay goes on without clients
    }
    for (;;) {
        sockaddr_storage peer;
        socklen_t peer_length = sizeof peer;
        int client = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peer_length, SOCK_CLOEXEC);
        if (client >= 0) {
            serve_client(client, reinterpret_cast<sockaddr *>(&peer));
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
            break;
        default:
            // Out of descriptors or memory (or anything unexpected): retrying
            // at once would only spin.
            pause_briefly();
            break;
        }
    }
}
