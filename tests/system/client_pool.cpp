// SPDX-License-Identifier: BSD-2-Clause
// Numbered lines, and a pool of TCP clients whose every received line is checked as it arrives (see harness.h).
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

static const std::string numbered_prefix = "$GPTXT,seq,";
static const std::string numbered_end = "load*00";

std::string numbered_line(long number, size_t padding)
{
    return numbered_prefix + std::to_string(number) + "," + std::string(padding, 'x') + numbered_end + "\r\n";
}

// A numbered line is whole when its number is followed by a comma, filler alone, and the end it was sent with.
static void take_line(line_record *c, const std::string &line)
{
    size_t digits = line.find(',', numbered_prefix.size());
    size_t filler = digits == std::string::npos ? line.size() : line.find_first_not_of('x', digits + 1);
    if (line.compare(0, numbered_prefix.size(), numbered_prefix) != 0 || filler == std::string::npos ||
        line.compare(filler, std::string::npos, numbered_end) != 0) {
        if (!is_join_line(line) && c->foreign++ < 10)
            c->foreign_lines.push_back(line);
        return;
    }
    long number = atol(line.c_str() + numbered_prefix.size());
    if (c->last >= 0 && number <= c->last)
        c->backwards++;
    else if (c->last >= 0)
        c->gaps += number - c->last - 1;
    if (c->first < 0)
        c->first = number;
    c->last = number;
    c->count++;
}

void take_bytes(line_record *c, const char *bytes, size_t n)
{
    c->partial.append(bytes, n);
    size_t start = 0;
    for (size_t end; (end = c->partial.find('\n', start)) != std::string::npos; start = end + 1)
        take_line(c, c->partial.substr(start, end - start));
    c->partial.erase(0, start);
}

static void read_all(client_pool *pool)
{
    std::vector<char> buffer(1 << 16);
    std::vector<pollfd> watch; // one for each client; poll passes over those at -1
    while (!pool->stopping) {
        {
            std::lock_guard<std::mutex> hold(pool->lock);
            watch.resize(pool->clients.size());
            for (size_t i = 0; i < watch.size(); i++) {
                line_record &c = pool->clients[i];
                // A client the test closed is released here, where no recv can be using its descriptor.
                if (c.closed && c.socket >= 0) {
                    close(c.socket);
                    c.socket = -1;
                }
                watch[i] = {c.closed ? -1 : c.socket, POLLIN, 0};
            }
        }
        if (poll(watch.data(), watch.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i < watch.size(); i++) {
            if (watch[i].revents == 0)
                continue;
            ssize_t got = recv(watch[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            std::lock_guard<std::mutex> hold(pool->lock);
            line_record &c = pool->clients[i];
            if (c.closed) // by the test, meanwhile
                continue;
            if (got > 0)
                take_bytes(&c, buffer.data(), static_cast<size_t>(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                c.closed = true;
        }
    }
}

static int keep_client(client_pool *pool, int fd)
{
    if (fd < 0)
        return -1;
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->clients.push_back(line_record());
    pool->clients.back().socket = fd;
    return static_cast<int>(pool->clients.size() - 1);
}

int add_client(client_pool *pool)
{
    return keep_client(pool, connect_tcp());
}

bool start_pool(client_pool *pool, int n)
{
    for (int i = 0; i < n; i++) {
        int fd = connect_when_listening();
        if (keep_client(pool, fd) < 0 || !join(fd))
            return false;
    }
    pool->reader = std::thread(read_all, pool);
    return true;
}

void close_client(client_pool *pool, int index)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    line_record &c = pool->clients[static_cast<size_t>(index)];
    // Ends the connection at once, as a close would; the reader, maybe reading it now, releases the descriptor.
    if (!c.closed)
        shutdown(c.socket, SHUT_RDWR);
    c.closed = true;
}

bool all_reached(client_pool *pool, long number, int timeout_ms)
{
    return eventually(
        [&] {
            std::lock_guard<std::mutex> hold(pool->lock);
            for (auto &c : pool->clients)
                if (!c.closed && c.last < number)
                    return false;
            return true;
        },
        timeout_ms);
}

void stop_pool(client_pool *pool)
{
    pool->stopping = true;
    if (pool->reader.joinable())
        pool->reader.join();
    std::lock_guard<std::mutex> hold(pool->lock);
    for (auto &c : pool->clients) {
        if (c.socket >= 0)
            close(c.socket);
        c.socket = -1;
        c.closed = true;
    }
}

client_pool::~client_pool()
{
    stop_pool(this);
}

void expect_unbroken(client_pool *pool, long last_sent, bool must_reach_end, const std::string &other_prefix)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    long dropped_at_input = net_counter("/proc/net/snmp", "Udp", "RcvbufErrors");
    for (size_t i = 0; i < pool->clients.size(); i++) {
        const line_record &c = pool->clients[i];
        SCOPED_TRACE("client " + std::to_string(i));
        EXPECT_EQ(c.gaps + c.backwards, 0) << "datagrams dropped at the input: " << dropped_at_input;
        EXPECT_TRUE(!other_prefix.empty() || c.foreign == 0) << c.foreign_lines[0];
        for (auto &line : c.foreign_lines)
            EXPECT_EQ(line.compare(0, other_prefix.size(), other_prefix), 0) << line;
        EXPECT_TRUE(c.count == 0 || c.count == c.last - c.first + 1) << c.first << " to " << c.last;
        EXPECT_TRUE(!must_reach_end || c.last == last_sent) << c.last;
    }
}
