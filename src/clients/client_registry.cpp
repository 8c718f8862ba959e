// SPDX-License-Identifier: BSD-2-Clause
#include "clients/client_registry.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/counters.h"

client_link *client_registry[max_clients];
std::mutex registry_lock;

bool registry_add(client_link *link)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients; slot++) {
        if (client_registry[slot] == nullptr) {
            client_registry[slot] = link;
            // Under the lock: the registry's writers never count at once.
            uint64_t now = counters.clients.load(std::memory_order_relaxed) + 1;
            counters.clients.store(now, std::memory_order_relaxed);
            if (now > counters.clients_max.load(std::memory_order_relaxed))
                counters.clients_max.store(now, std::memory_order_relaxed);
            return true;
        }
    }
    count_one(counters.clients_refused);
    return false;
}

void release_link(client_link *link)
{
    close(link->pipe_read);
    close(link->pipe_write);
    close(link->socket);
    delete link;
}

void registry_remove(client_link *link)
{
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        int slot = 0;
        while (slot < max_clients && client_registry[slot] != nullptr && client_registry[slot] != link)
            slot++;
        if (slot == max_clients || client_registry[slot] == nullptr)
            return;
        // Close the gap so the occupied slots stay a prefix in registration order.
        for (; slot < max_clients - 1; slot++)
            client_registry[slot] = client_registry[slot + 1];
        client_registry[max_clients - 1] = nullptr;
        counters.clients.store(counters.clients.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    // Outside the lock: once unregistered, the relay no longer writes to it.
    release_link(link);
}

// Room a pipe of `capacity` bytes certainly has, in whole pages, with `queued` bytes in
// it. The kernel puts a write into the last page only when it fits whole, so
// any two pages in use hold more than one page's worth; the page being read
// and the page being filled may hold less.
static long free_pipe_bytes(int capacity, int queued)
{
    static const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : PIPE_BUF;
    return (capacity / page - 2 * ((queued + page - 1) / page) - 2) * page;
}

// A write of at most PIPE_BUF bytes is atomic: all of it or EAGAIN. A longer
// text (several sentences in one datagram make one) goes in whole when the
// free pages certainly hold it, since a non-blocking write fills what room there
// is; else it would be cut.
static bool pipe_takes_whole(int fd, size_t length)
{
    if (length <= PIPE_BUF)
        return true;
    int queued = 0;
    int capacity = fcntl(fd, F_GETPIPE_SZ);
    return ioctl(fd, FIONREAD, &queued) == 0 && capacity > 0 &&
           free_pipe_bytes(capacity, queued) >= static_cast<long>(length);
}

// Sends texts straight to the client's socket when nothing of the client's
// waits in the pipe. Returns how much the socket took: all of it, or the
// rest must follow through the pipe, which is then empty.
static size_t send_straight(client_link *link, const char *text, size_t length)
{
    if (link->backlog.load(std::memory_order_acquire) != 0)
        return 0;
    ssize_t sent;
    do
        sent = send(link->socket, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    // After a failed send the text goes to the pipe, where the thread's own
    // send fails too and ends the client.
    if (sent <= 0)
        return 0;
    count_many(link->handed_bytes, static_cast<size_t>(sent));
    return static_cast<size_t>(sent);
}

static void write_to_pipe(client_link *link, const char *text, size_t length)
{
    if (!pipe_takes_whole(link->pipe_write, length)) {
        count_one(counters.drop_clients);
        count_one(link->drop_texts);
        return;
    }
    // Counted before it is written, so the thread never counts it off first.
    link->backlog.fetch_add(length, std::memory_order_relaxed);
    ssize_t written;
    do
        written = write(link->pipe_write, text, length);
    while (written < 0 && errno == EINTR);
    if (written < 0) {
        link->backlog.fetch_sub(length, std::memory_order_relaxed);
        count_one(counters.drop_clients);
        count_one(link->drop_texts);
    } else {
        count_many(link->handed_bytes, length);
    }
}

void registry_write_batch(const char *texts, const size_t *ends, unsigned count)
{
    if (count == 0)
        return;
    // A text longer than PIPE_BUF is sent straight only to a client whose
    // empty pipe certainly takes the rest of any text the socket cuts.
    size_t longest = 0;
    for (unsigned i = 0; i < count; i++) {
        size_t length = ends[i] - (i > 0 ? ends[i - 1] : 0);
        longest = length > longest ? length : longest;
    }
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients && client_registry[slot] != nullptr; slot++) {
        client_link *link = client_registry[slot];
        bool straight = longest <= PIPE_BUF ||
                        free_pipe_bytes(fcntl(link->pipe_write, F_GETPIPE_SZ), 0) >= static_cast<long>(longest);
        size_t sent = straight ? send_straight(link, texts, ends[count - 1]) : 0;
        // What the socket did not take follows text by text, each whole or
        // not at all.
        for (unsigned i = 0; i < count; i++) {
            size_t start = i > 0 ? ends[i - 1] : 0;
            if (ends[i] <= sent)
                continue;
            size_t from = sent > start ? sent : start;
            write_to_pipe(link, texts + from, ends[i] - from);
        }
    }
}

void registry_write_all(const char *text, size_t length)
{
    registry_write_batch(text, &length, 1);
}

size_t registry_snapshot(client_view *out)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    size_t count = 0;
    for (; count < max_clients && client_registry[count] != nullptr; count++) {
        const client_link *link = client_registry[count];
        uint64_t handed = link->handed_bytes.load(std::memory_order_relaxed);
        // The backlog holds one more until the thread runs; then nothing
        // has been sent yet, and the difference stops at 0.
        uint64_t waiting = link->backlog.load(std::memory_order_relaxed);
        out[count] = {link->peer,
                      link->port,
                      link->connected_ms,
                      link->may_write,
                      handed > waiting ? handed - waiting : 0,
                      link->drop_texts.load(std::memory_order_relaxed),
                      link->discarded_bytes.load(std::memory_order_relaxed)};
    }
    return count;
}
