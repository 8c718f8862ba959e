#include "load_helpers.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sandbox.h"

static const char numbered_prefix[] = "$GPTXT,seq,";

std::string numbered_line(long number)
{
    return numbered_prefix + std::to_string(number) + ",load*00\r\n";
}

long memory_kb(int pid, const char *field)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long value = -1;
    size_t length = strlen(field);
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, field, length) == 0 && line[length] == ':')
            value = atol(line + length + 1);
    fclose(f);
    return value;
}

static void take_line(line_record *c, const std::string &line)
{
    if (line.compare(0, sizeof numbered_prefix - 1, numbered_prefix) != 0) {
        // Sync lines of the sandbox helpers are expected; anything else is not.
        if (line.compare(0, 12, "$GPTXT,sync,") != 0) {
            c->foreign++;
            if (c->foreign_lines.size() < 10)
                c->foreign_lines.push_back(line);
        }
        return;
    }
    long number = atol(line.c_str() + sizeof numbered_prefix - 1);
    if (c->last >= 0 && number != c->last + 1)
        c->out_of_order++;
    if (c->first < 0)
        c->first = number;
    c->last = number;
    c->count++;
}

static void take_bytes(line_record *c, const char *bytes, size_t n)
{
    c->partial.append(bytes, n);
    size_t start = 0, end;
    while ((end = c->partial.find('\n', start)) != std::string::npos) {
        take_line(c, c->partial.substr(start, end - start));
        start = end + 1;
    }
    c->partial.erase(0, start);
}

static void read_all(client_pool *pool)
{
    std::vector<char> buffer(1 << 16);
    std::vector<pollfd> watch;
    std::vector<size_t> index;
    while (!pool->stopping) {
        watch.clear();
        index.clear();
        {
            std::lock_guard<std::mutex> hold(pool->lock);
            for (size_t i = 0; i < pool->clients.size(); i++) {
                if (!pool->clients[i].closed) {
                    watch.push_back({pool->clients[i].socket, POLLIN, 0});
                    index.push_back(i);
                }
            }
        }
        if (poll(watch.data(), watch.size(), 50) <= 0)
            continue;
        for (size_t k = 0; k < watch.size(); k++) {
            if (watch[k].revents == 0)
                continue;
            ssize_t got = recv(watch[k].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            std::lock_guard<std::mutex> hold(pool->lock);
            line_record &c = pool->clients[index[k]];
            if (c.closed || c.socket != watch[k].fd)
                continue;
            if (got > 0)
                take_bytes(&c, buffer.data(), static_cast<size_t>(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(c.socket);
                c.closed = true;
            }
        }
    }
}

int add_client(client_pool *pool, int port)
{
    int fd = connect_tcp(port);
    if (fd < 0)
        return -1;
    std::lock_guard<std::mutex> hold(pool->lock);
    line_record c;
    c.socket = fd;
    pool->clients.push_back(c);
    return static_cast<int>(pool->clients.size() - 1);
}

bool wait_listening(int port)
{
    int probe = connect_when_listening(port);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

bool start_pool(client_pool *pool, int n, int port)
{
    // A daemon just started may not listen yet.
    if (!wait_listening(port))
        return false;
    for (int i = 0; i < n; i++)
        if (add_client(pool, port) < 0)
            return false;
    pool->reader = std::thread(read_all, pool);
    return true;
}

void close_client(client_pool *pool, int index)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    line_record &c = pool->clients[static_cast<size_t>(index)];
    if (!c.closed) {
        close(c.socket);
        c.closed = true;
    }
}

bool wait_all_reached(client_pool *pool, long number, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(pool->lock);
            bool all = true;
            for (auto &c : pool->clients)
                all = all && (c.closed || c.last >= number);
            if (all)
                return true;
        }
        if (now_ms() > deadline)
            return false;
        usleep(10 * 1000);
    }
}

void stop_pool(client_pool *pool)
{
    pool->stopping = true;
    if (pool->reader.joinable())
        pool->reader.join();
    std::lock_guard<std::mutex> hold(pool->lock);
    for (auto &c : pool->clients) {
        if (!c.closed)
            close(c.socket);
        c.closed = true;
    }
}

client_pool::~client_pool()
{
    stop_pool(this);
}

long udp_receive_buffer_errors()
{
    // Datagrams the kernel dropped because a receiver's buffer was full, in
    // this network namespace.
    FILE *f = fopen("/proc/net/snmp", "r");
    if (f == nullptr)
        return -1;
    char names[1024], values[1024];
    long result = -1;
    while (fgets(names, sizeof names, f) != nullptr && fgets(values, sizeof values, f) != nullptr) {
        if (strncmp(names, "Udp:", 4) != 0)
            continue;
        char *name_save, *value_save;
        char *name = strtok_r(names, " \n", &name_save);
        char *value = strtok_r(values, " \n", &value_save);
        while (name != nullptr && value != nullptr) {
            if (strcmp(name, "RcvbufErrors") == 0)
                result = atol(value);
            name = strtok_r(nullptr, " \n", &name_save);
            value = strtok_r(nullptr, " \n", &value_save);
        }
    }
    fclose(f);
    return result;
}
