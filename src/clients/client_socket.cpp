// SPDX-License-Identifier: BSD-2-Clause
#include "clients/client_socket.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "base/monotonic_clock.h"

// A stalled send tries again this many times per limit, so a client is cut
// at most a twelfth past its limit.
constexpr int stall_looks = 12;

static bool set_option(int socket, int level, int name, int value)
{
    return setsockopt(socket, level, name, &value, sizeof value) == 0;
}

bool set_client_options(int socket)
{
    // Every send is whole texts, never a piece to be joined: waiting for the
    // client's acknowledgement first (Nagle's rule against its delayed
    // acknowledgement) only made lines up to 40 ms late with many clients.
    bool all = set_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    // A client that vanished without a word (power lost, out of Wi-Fi range)
    // would otherwise hold its slot for hours: keepalive finds it when the
    // connection is idle, the user timeout when text waits for it, whether
    // unacknowledged or held back by a closed window.
    all = set_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1) && all;
    all = set_option(socket, IPPROTO_TCP, TCP_KEEPIDLE, keepalive_idle_s) && all;
    all = set_option(socket, IPPROTO_TCP, TCP_KEEPINTVL, keepalive_interval_s) && all;
    all = set_option(socket, IPPROTO_TCP, TCP_KEEPCNT, keepalive_probes) && all;
    return set_option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, client_stall_ms) && all;
}

bool send_all(int socket, const char *bytes, size_t n, int stall_ms)
{
    const long long stall_us = stall_ms * 1000LL;
    const long long look_us = std::max(stall_us / stall_looks, 1000LL);
    long long last_taken = monotonic_us();
    while (n > 0) {
        ssize_t sent = send(socket, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes += sent;
            n -= static_cast<size_t>(sent);
            last_taken = monotonic_us();
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        long long left = last_taken + stall_us - monotonic_us();
        if (left <= 0)
            return false; // a client that takes nothing must not hold its slot for ever
        // Woken by room, a failure (the next send reports it) or a signal,
        // and at least at every look: poll reports room only once a third of
        // the buffer is free, but whatever the client takes lets a send in,
        // so a slow client keeps restarting the limit.
        pollfd room = {socket, POLLOUT, 0};
        poll(&room, 1, static_cast<int>((std::min(left, look_us) + 999) / 1000));
    }
    return true;
}
