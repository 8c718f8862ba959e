// SPDX-License-Identifier: BSD-2-Clause
#include "base/dual_stack.h"

#include "base/messages.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// IPv6 with IPV6_V6ONLY off, or IPv4 where IPv6 sockets are refused.
static int dual_stack_socket(int type)
{
    int fd = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        // Off by default on Linux, but a system may turn it on
        // (net.ipv6.bindv6only): IPv4 peers would then find nobody.
        int off = 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
            return fd;
        close(fd);
    }
    // Whatever made IPv6 fail, IPv4 is served as ever; a failure that is
    // not about the family fails here again and is said by the caller.
    return socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

// To every address of the socket's family at `port`.
static bool bind_every_address(int fd, uint16_t port)
{
    sockaddr_storage own;
    socklen_t length = sizeof own;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&own), &length) != 0)
        return false;
    if (own.ss_family == AF_INET6) {
        sockaddr_in6 address;
        memset(&address, 0, sizeof address);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        return bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

int bound_socket(int type, uint16_t port, void (*prepare)(int fd), const char *what)
{
    int fd = dual_stack_socket(type);
    if (fd < 0)
        return -1;
    if (prepare != nullptr)
        prepare(fd);
    if (bind_every_address(fd, port))
        return fd;
    int error = errno;
    sockaddr_storage own;
    socklen_t length = sizeof own;
    bool both = getsockname(fd, reinterpret_cast<sockaddr *>(&own), &length) == 0 && own.ss_family == AF_INET6;
    close(fd);
    if (error != EADDRINUSE || !both) {
        errno = error;
        return -1;
    }
    // Refused as taken: another program holds the port for IPv4, or for
    // IPv6 alone (IPV6_V6ONLY). In the second case IPv4 is still ours, and
    // serving neither would lose every peer for the sake of a few.
    int four = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (four >= 0) {
        if (prepare != nullptr)
            prepare(four);
        if (bind_every_address(four, port)) {
            complain("%s port %u is taken for IPv6 by another program: serving IPv4 alone\n", what,
                     static_cast<unsigned>(port));
            return four;
        }
        close(four);
    }
    errno = error;
    return -1;
}
