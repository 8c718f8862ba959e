// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the daemon: IPv6 sockets are refused with EAFNOSUPPORT, as on a kernel built without IPv6
// or booted with ipv6.disable=1. A namespace with IPv6 turned off still makes them, so it cannot show this.
#include <cerrno>
#include <dlfcn.h>
#include <sys/socket.h>

extern "C" int socket(int family, int type, int protocol)
{
    if (family == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    using socket_call = int (*)(int, int, int);
    return reinterpret_cast<socket_call>(dlsym(RTLD_NEXT, "socket"))(family, type, protocol);
}
