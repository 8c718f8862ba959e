// SPDX-License-Identifier: BSD-2-Clause
// What the tests of the serial side and the clients do to descriptors: read
// what waits, fill one up, make a loopback connection, wait for a thread.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Polls `done` until it holds or timeout_ms have passed.
template <typename Condition> bool soon(Condition done, int timeout_ms = 10000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// Everything that can be read from fd without waiting.
inline std::string drain(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    fcntl(fd, F_SETFL, flags);
    return got;
}

// Fills a pipe or socket with `byte` until no byte more fits; returns how
// many it took.
inline size_t fill(int fd, char byte = '\0')
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    size_t total = 0;
    const std::string block(4096, byte);
    for (size_t size = block.size(); size > 0; size /= 2)
        for (ssize_t n; (n = write(fd, block.data(), size)) > 0;)
            total += static_cast<size_t>(n);
    fcntl(fd, F_SETFL, flags);
    return total;
}

// A loopback TCP connection: pair[0] the sending end, whose buffer holds
// `send_buffer` (doubled by the kernel), pair[1] the receiving end, whose
// buffer is small, so that a reader that stops is felt soon.
inline bool tcp_pair(int pair[2], int send_buffer)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bool ready = listener >= 0 && bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
                 listen(listener, 1) == 0 && getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    pair[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ready = ready && connect(pair[1], reinterpret_cast<sockaddr *>(&address), size) == 0;
    pair[0] = ready ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    close(listener);
    return pair[0] >= 0 && setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer) == 0;
}
