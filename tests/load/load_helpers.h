// Helpers for load and fault tests: numbered lines, and TCP clients whose
// every received line is checked as it arrives.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A relayed line that carries a sequence number.
std::string numbered_line(long number);

// Reads "VmRSS" or "VmHWM" (kB) of a process; -1 when unknown.
long memory_kb(int pid, const char *field);

// Datagrams dropped in this network namespace because a receive buffer was
// full (the daemon's input falling behind), or -1 when unknown.
long udp_receive_buffer_errors();

// Waits until 127.0.0.1:port accepts connections.
bool wait_listening(int port);

// A thread that is joined however the test ends.
struct joined_thread {
    std::thread thread;
    template <typename F> explicit joined_thread(F f) : thread(f) {}
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    ~joined_thread() { join(); }
};

// One TCP client's view of the numbered lines it received.
struct line_record {
    int socket = -1;
    std::string partial;         // an incomplete line at the end of what arrived
    long first = -1, last = -1;  // first and last number received
    long count = 0;              // numbered lines received
    long out_of_order = 0;       // numbers that did not follow the previous one
    long foreign = 0;            // complete lines that are not numbered lines
    std::vector<std::string> foreign_lines; // the first few of them
    bool closed = false;
};

// Clients read by one thread that polls them all, so a hundred clients cost
// one thread in the test.
struct client_pool {
    std::mutex lock;
    std::vector<line_record> clients; // guarded by lock
    std::atomic<bool> stopping{false};
    std::thread reader;
    ~client_pool();
};

// Connects n clients to 127.0.0.1:port one after another and starts
// reading. Returns false if one fails.
bool start_pool(client_pool *pool, int n, int port);
// Adds one client; returns its index or -1.
int add_client(client_pool *pool, int port);
// Closes one client (it stays in the record, marked closed).
void close_client(client_pool *pool, int index);
// Waits until every open client has received the line numbered `number`.
bool wait_all_reached(client_pool *pool, long number, int timeout_ms);
void stop_pool(client_pool *pool);
