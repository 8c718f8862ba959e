// SPDX-License-Identifier: BSD-2-Clause
#include "base/dual_stack.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int dual_stack_socket(int type)
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

bool bind_every_address(int fd, uint16_t port)
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
