// SPDX-License-Identifier: BSD-2-Clause
#include "clock/refclock_sock.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

sock_sample sock_sample_of(const receiver_time &time, const timespec &received)
{
    sock_sample s;
    memset(&s, 0, sizeof s);
    s.tv.tv_sec = received.tv_sec;
    s.tv.tv_usec = received.tv_nsec / 1000;
    // Against the time as sent, in microseconds; and in two parts, so that a
    // double's 53 bits are not spent on the seconds since 1970.
    s.offset = static_cast<double>(time.seconds - static_cast<long long>(received.tv_sec)) +
               (time.nanoseconds - static_cast<long>(s.tv.tv_usec) * 1000) * 1e-9;
    s.magic = sock_magic;
    return s;
}

int sock_open()
{
    return socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

bool sock_put(int fd, const char *path, const sock_sample &sample)
{
    // Addressed at each send rather than connected once: a chrony that
    // restarts binds a new socket at the same path, and the next sample
    // finds it.
    sockaddr_un to;
    memset(&to, 0, sizeof to);
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path);
    return sendto(fd, &sample, sizeof sample, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(sizeof sample);
}
