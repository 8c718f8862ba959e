#include "clients/client_registry.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

client_link *client_registry[max_clients];
std::mutex registry_lock;

bool registry_add(client_link *link)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients; slot++) {
        if (client_registry[slot] == nullptr) {
            client_registry[slot] = link;
            return true;
        }
    }
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
    }
    // Outside the lock: once unregistered, the relay no longer writes to it.
    release_link(link);
}

// A write of at most PIPE_BUF bytes is atomic: all of it or EAGAIN. A longer
// text (only malformed input makes one) is written only into an empty pipe
// with room for all of it, where a non-blocking write cannot stop short.
static bool pipe_takes_whole(int fd, size_t length)
{
    if (length <= PIPE_BUF)
        return true;
    int queued = 0;
    int capacity = fcntl(fd, F_GETPIPE_SZ);
    return ioctl(fd, FIONREAD, &queued) == 0 && queued == 0 && capacity > 0 &&
           static_cast<size_t>(capacity) >= length + PIPE_BUF;
}

void registry_write_all(const char *text, size_t length)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients && client_registry[slot] != nullptr; slot++) {
        int fd = client_registry[slot]->pipe_write;
        if (!pipe_takes_whole(fd, length))
            continue;
        ssize_t written;
        do
            written = write(fd, text, length);
        while (written < 0 && errno == EINTR);
    }
}
