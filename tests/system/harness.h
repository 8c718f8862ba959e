// SPDX-License-Identifier: BSD-2-Clause
// The harness of the tests of the real daemon: each test process enters a
// sandbox of its own (namespaces, a veth pair, a tmpfs /tmp, a private /dev),
// starts the real binary there and talks to it over real sockets, with a pty
// as the receiver. DaemonTest owns the daemon, catcher, clients and receiver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reference.h"

// For anything the daemon should do "at once": sanitized and emulated builds are slow.
constexpr int patience_ms = 15000;
constexpr int client_slots = 100; // clients served at once

// The address of the sandbox's broadcast interface.
constexpr const char *veth_address = "198.51.100.1";
constexpr const char *veth_broadcast = "198.51.100.255";

// Built with a sanitizer, as the daemon then is: its address space is the sanitizer's.
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

// --- The sandbox (sandbox.cpp) ---

extern std::string sandbox_skip_reason; // empty when the sandbox is up
void sandbox_enter();                   // while the process is still single-threaded

// --- Waiting ---

long long now_ms(); // monotonic

// GPSFANOUT_SOAK_SCALE (default 1): how many times longer floods, churn and stalls run.
long soak_scale();

// Tries `condition` (which may act, and wait a little) until it holds or the time is up.
bool eventually(const std::function<bool()> &condition, int timeout_ms = patience_ms);

// --- The daemon ---

struct daemon_options {
    bool quiet = false;  // stdout to /dev/null rather than a pty
    int stdout_fd = -1;  // when not -1, the daemon's stdout
    int stderr_fd = -1;  // when not -1, the daemon's stderr (else a pipe the harness reads)
    std::vector<std::string> run_through; // words the command starts with, before any emulator
    std::string program;                  // the daemon's binary, when not daemon_path()
    std::vector<std::string> environment; // NAME=value entries for the daemon alone
};
const daemon_options quiet = [] {
    daemon_options options;
    options.quiet = true;
    return options;
}();

struct daemon_process {
    pid_t pid = -1;
    int out_fd = -1; // pty master behind the daemon's stdout (-1 when quiet)
    int err_fd = -1; // pipe behind its stderr
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::string out, err;
    bool exited = false;
    int status = 0;
    ~daemon_process(); // ends it, if need be
};

std::string daemon_path(); // GPSFANOUT_DAEMON when set, else this build's

// Waits until stdout (or stderr) holds `needle` at or after `from`.
bool wait_stdout(daemon_process &d, const std::string &needle, int timeout_ms = patience_ms, size_t from = 0);
bool wait_stderr(daemon_process &d, const std::string &needle, int timeout_ms = patience_ms);
std::string stdout_of(daemon_process &d);
std::string stderr_of(daemon_process &d);

// The number after `prefix` in a whole line of stdout at or after `from`; -2 when none comes.
int reported_fd(daemon_process &d, const std::string &prefix, size_t from = 0);

int wait_exit(daemon_process &d, int timeout_ms = patience_ms); // wait status, or -1 on timeout
bool running(daemon_process &d);

// SIGSTOP, waiting until every thread has stopped.
bool stop_all_threads(daemon_process &d);

// Ends the daemon and every other child (a detached daemon comes back to its subreaper).
void stop_daemon(daemon_process &d);

// --- Sockets ---

sockaddr_in loopback(int port); // 127.0.0.1:port
// Datagrams to 127.0.0.1:port from one socket; send_udp sends one.
struct udp_sender {
    int fd;
    sockaddr_in to;
    explicit udp_sender(int port = udp_in_port);
    ~udp_sender();
    bool send(const std::string &data);
};

void send_udp(const std::string &data, int port = udp_in_port);

std::string as_sent(const std::string &relayed); // LF as a receiver sends it: CR LF
// One datagram, and its dotted destination address.
bool catch_datagram(int fd, std::string *data, std::string *destination, int timeout_ms = patience_ms);

// Takes 0.0.0.0:port (listening, for TCP) from the daemon; -1 on failure.
int occupy_port(int type, int port);

// To 127.0.0.1:port, with that receive buffer when not 0; -1 on failure. The
// second connects as soon as the daemon listens.
int connect_tcp(int port = tcp_port, int receive_buffer = 0);
int connect_when_listening(int port = tcp_port, int receive_buffer = 0, int timeout_ms = patience_ms);

// Appends what fd gives to *received until it holds `needle`.
bool read_until(int fd, std::string *received, const std::string &needle, int timeout_ms = patience_ms);

// Lines, each with its LF; a cut-off tail is a line without one.
std::vector<std::string> lines_of(const std::string &stream);
// The value of `key` in a line of key=value words (the counters and client lines); "" when it has none.
std::string value_of(const std::string &line, const std::string &key);
// Line n of them, or "" when there is none.
std::string nth(const std::vector<std::string> &lines, size_t n);
// Sends SIGUSR1 and returns the lines said from the counters line on, once `clients` client lines follow it
// (or what came within the patience).
std::vector<std::string> said_on_request(daemon_process &d, size_t clients, int timeout_ms = patience_ms);

// Relays join lines until one reaches the client: from then on every line
// relayed reaches it. What it received meanwhile goes to *stream when given.
bool join(int client, std::string *stream = nullptr, int timeout_ms = patience_ms);
bool is_join_line(const std::string &line);

// Relays `text` (ending in LF) until it has reached `client`, whose stream is in *pending.
bool relay_to(int client, std::string *pending, const std::string &text);

// Waits for the daemon to close the connection (end or reset); what came first goes to *received.
bool closed_by_daemon(int fd, std::string *received, int timeout_ms = patience_ms);

void abort_connection(int fd); // closes with a reset

// One TCP socket of this network namespace, as /proc/net/tcp shows it.
struct tcp_socket_row {
    int local_port = 0, remote_port = 0;
    int state = 0;          // 1 established, 10 listening
    int timer = 0;          // pending timer: 0 none, 1 retransmit, 2 keepalive, 4 window probe
    long long timer_ms = 0; // time left on it
    long unread = 0;        // bytes received that its owner has not read
};
std::vector<tcp_socket_row> tcp_sockets();

bool listening_on(int port = tcp_port, int timeout_ms = patience_ms); // waits, without connecting

// A counter of /proc/net/snmp and its like ("Udp", "RcvbufErrors"); -1 when unknown.
long net_counter(const char *file, const char *group, const char *name);

// --- The receiver ---

// A pseudo-terminal as the receiver: its slave appears at `path` while plugged in.
struct fake_receiver {
    int master = -1;
    std::string path;
    std::string slave;
    ~fake_receiver();
};
bool plug_receiver(const std::string &path, fake_receiver *r);
void unplug_receiver(fake_receiver *r);

bool emit(fake_receiver &r, const std::string &text); // as a GPS sends
// Reads the receiver's side on a thread of its own, as fast as bytes come or
// at `bytes_per_s` (a real line, which never catches up), noting when each line came.
struct receiver_watch {
    std::mutex lock;
    std::string bytes;                                    // all that came
    std::vector<std::pair<std::string, long long>> lines; // each whole line, and when
    std::vector<long long> starts;                        // when each line's first byte came
    receiver_watch(fake_receiver &r, int bytes_per_s = 0);
    ~receiver_watch() { stop(); }
    std::string seen();  // the bytes so far
    long long last_ms(); // when the last line came, or the watch began
    void stop();         // from then on, bytes and lines are the test's
private:
    std::atomic<bool> stopping{false};
    long long started_ms;
    std::thread reader;
};

// The device's ONLCR turns each LF into CR LF.
std::string on_the_line(const std::string &text);

// A copy of the daemon (daemon_path()) in a folder of its own under /tmp, which another user can reach when
// the checkout is in a private home; removed at the end. `path` is empty when it could not be made.
struct daemon_copy {
    std::string folder, path;
    daemon_copy();
    ~daemon_copy();
};

// Why that user cannot run `program`, or "".
std::string unreachable_for(uid_t uid, gid_t gid, const std::string &program);

// --- Files, /proc and the project's tools ---

bool read_file(const std::string &path, std::string *content);
bool write_file(const std::string &path, const std::string &text);
bool file_holds(const std::string &path, const std::string &expected, int timeout_ms = patience_ms);

// Both report files hold the worked example, each a plain file of `owner`, mode 0644.
void expect_example_reports(uid_t owner);

// The report names in /tmp, sorted, each followed by a blank (a temporary left behind shows).
std::string report_names();

// The first `count` lines (CR LF) of samples/trip.nmea.
std::string sample_lines(int count);

// The thread count leaves out GPSFANOUT_EMULATOR_THREADS, an emulator's own.
int count_fds(pid_t pid);
int count_threads(pid_t pid);

long status_value(pid_t pid, const char *key); // "VmRSS:" in kB; -1 when unknown
// CPU seconds used so far, and while `seconds` of wall time pass.
double cpu_seconds(pid_t pid);
double cpu_used_over(pid_t pid, double seconds);

// Thread stacks mapped, in use or not: private writable mappings right above a one-page guard.
int thread_stacks(pid_t pid);

// The nth (from 0) lowest free descriptor number; the soft descriptor limit set.
int free_fd(pid_t pid, int nth);
bool limit_fds(pid_t pid, int limit);

// The descriptor and thread counts once still for 0.1 s (a client's thread may lag its first line).
void steady_counts(pid_t pid, int *fds, int *threads);

// Waits for these counts, relaying a line to `keeper` each round so departed clients are noticed.
testing::AssertionResult counts_settle(pid_t pid, int fds, int threads, int keeper);

struct tool_run {
    int status = -1; // exit status, or -1 when it did not end in time or was killed
    std::string out, err;
};

// The daemon (daemon_path()) goes through GPSFANOUT_DAEMON_PREFIX, as when started.
tool_run run_tool(const std::string &program, const std::vector<std::string> &args, int timeout_ms = patience_ms);

// --- Numbered lines and a pool of clients (client_pool.cpp) ---

// A line (as sent) that carries a sequence number, with `padding` bytes of filler.
std::string numbered_line(long number, size_t padding = 0);

// One TCP client's view of the numbered lines it received.
struct line_record {
    int socket = -1;
    std::string partial;        // an incomplete line at the end of what arrived
    long first = -1, last = -1; // first and last number received
    long count = 0;             // whole numbered lines received
    long gaps = 0;              // numbers skipped
    long backwards = 0;         // numbers not above the one before
    long foreign = 0;           // other lines, or numbered lines not whole; join lines aside
    std::vector<std::string> foreign_lines; // the first few of them
    bool closed = false;
};
void take_bytes(line_record *c, const char *bytes, size_t n);

// Clients read by one thread that polls them all: a hundred cost one thread.
struct client_pool {
    std::mutex lock;
    std::vector<line_record> clients; // guarded by lock
    std::atomic<bool> stopping{false};
    std::thread reader;
    ~client_pool();
};

// Connects n clients, each joined before the next, and reads them all.
bool start_pool(client_pool *pool, int n);
// Adds one client, not waiting for it to be registered; its index or -1.
int add_client(client_pool *pool);
void close_client(client_pool *pool, int index);
bool all_reached(client_pool *pool, long number, int timeout_ms = patience_ms);
void stop_pool(client_pool *pool);

// Every line a client received since its first is there, in order, whole;
// other lines only when whole and starting with `other_prefix`.
void expect_unbroken(client_pool *pool, long last_sent, bool must_reach_end, const std::string &other_prefix = "");

// --- The fixture ---

class DaemonTest : public testing::Test {
protected:
    std::unique_ptr<daemon_process> d;
    fake_receiver gps; // plugged in by started_with_receiver

    void SetUp() override;
    void TearDown() override;

    void start(const std::vector<std::string> &args = {}, const daemon_options &options = {});
    // Starts it and returns the descriptor its first line reports (-1 none, -2 silent).
    int started(const std::vector<std::string> &args = {});
    // With the receiver plugged in at /dev/GPS first.
    int started_with_receiver(const std::vector<std::string> &args = {"-s"});

    int catcher(); // opened at the first call: before what it must catch is sent
    // The next datagram broadcast to the veth pair, join lines passed over; "" for none.
    std::string broadcast(int timeout_ms = patience_ms);

    // Connected as soon as the daemon listens, and joined; -1 on failure. Closed at the end.
    int client(std::string *stream = nullptr, int receive_buffer = 0, int timeout_ms = patience_ms);
    void leave(int client);
    int own(int fd); // closed at the end

    // Sends a text (ending in LF) as the receiver does, until the daemon has echoed it.
    bool relay(const std::string &text);

private:
    int catcher_fd = -1;
    std::vector<int> owned;
};
