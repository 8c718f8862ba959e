// Helpers for the tests of the daemon's TCP clients: joining, reading the
// stream line by line, and watching the daemon's descriptors, threads and CPU.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "sandbox.h"

// The daemon under test is built with a sanitizer (as the tests are): its
// address space then grows and is reserved as the sanitizer sees fit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

constexpr int udp_in_port = 10101;
constexpr int tcp_port = 11102;


// Like connect_tcp, with the receive buffer made small before connecting, so a
// client that stops reading is felt after a few kilobytes.
int connect_small_window(int port, int receive_buffer);

// Relays join lines until one reaches the client: it is then registered.
// Unlike sync_client, everything received is kept in *stream.
bool join_relay(int client, std::string *stream, int timeout_ms = patience_ms);

// True for the join lines of join_relay.
bool is_join_line(const std::string &line);

// Takes the next line (through its line feed) from the client, reading more
// into *pending as needed.
bool next_line(int fd, std::string *pending, std::string *line, int timeout_ms = patience_ms);

// Splits a stream into lines, each with its line feed; a cut-off tail is a
// line of its own, without one.
std::vector<std::string> lines_of(const std::string &stream);

// Relays `text` and waits until it has reached `client` (whose stream so far
// is in *pending). Relayed texts end in a single line feed.
bool relay_to(int client, std::string *pending, const std::string &line_without_end);

// Waits until the daemon has closed our connection: true on end of stream or
// reset. Anything received first goes to *received.
bool closed_by_daemon(int fd, std::string *received, int timeout_ms = patience_ms);

// Closes with a reset rather than an orderly end.
void abort_connection(int fd);

// The daemon's descriptor and thread counts once they have held still for a
// tenth of a second: a client can get its first line before its thread runs.
void steady_counts(pid_t pid, int *fds, int *threads);

// Waits until the daemon's descriptor and thread counts are these, relaying a
// line to `keeper` each round so that departed clients are noticed.
testing::AssertionResult counts_settle(pid_t pid, int fds, int threads, int keeper);

// CPU time the process has used so far, in seconds.
double cpu_seconds(pid_t pid);

// CPU seconds the process uses while `seconds` of wall time pass.
double cpu_used_over(pid_t pid, double seconds);

// The process's address space in use (VmSize), in bytes; -1 if unknown.
long long address_space(pid_t pid);

// Thread stacks mapped in the process, in use or not: private writable
// mappings right above a one-page guard.
int thread_stacks(pid_t pid);

// The nth lowest descriptor number (from 0) that the process has free.
int free_fd(pid_t pid, int nth);

// Sets the process's (soft) descriptor limit.
bool limit_fds(pid_t pid, int limit);

// Writes a value to a file under /proc/sys (of this network namespace).
bool write_sysctl(const std::string &path, const std::string &value);

// One TCP socket of this network namespace, as /proc/net/tcp shows it.
struct tcp_socket_row {
    int local_port = 0, remote_port = 0;
    int state = 0;         // 1 established, 10 listening
    int timer = 0;         // pending timer: 0 none, 1 retransmit, 2 keepalive, 4 window probe
    long long timer_ms = 0; // time left on it
};
std::vector<tcp_socket_row> tcp_sockets();

// Waits until something listens on the port, without connecting to it.
bool listening_on(int port, int timeout_ms = patience_ms);

// A counter of the namespace's TCP extension statistics (/proc/net/netstat),
// such as "ListenOverflows"; -1 when unknown.
long tcp_ext_counter(const std::string &name);
