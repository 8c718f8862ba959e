// The system-test sandbox: private network and mount namespaces, a veth pair
// for broadcast, a tmpfs on /tmp, a private /dev; and helpers to run the real
// daemon and talk to it over real sockets and a pseudo-terminal.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Empty when the sandbox is up; otherwise why the system tests are skipped.
extern std::string sandbox_skip_reason;

// Enters the sandbox. Must run while the process is still single-threaded.
void sandbox_enter();

#define REQUIRE_SANDBOX()                                                      \
    do {                                                                       \
        if (!sandbox_skip_reason.empty())                                      \
            GTEST_SKIP() << sandbox_skip_reason;                               \
    } while (0)

// Generous bound for anything the daemon should do "at once"; sanitizer
// builds and emulated binaries are slow.
constexpr int patience_ms = 15000;

// The address of the sandbox's broadcast interface.
constexpr const char *veth_address = "198.51.100.1";
constexpr const char *veth_broadcast = "198.51.100.255";

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
    ~daemon_process();
};

// Starts the real binary with these arguments (not counting argv[0]). Its
// stdout is a pty, so it is line-buffered as on a terminal, unless `quiet`,
// when it goes to /dev/null. GPSFANOUT_DAEMON_PREFIX, when set, is a command
// (split on blanks) that the daemon is started through, such as an emulator.
// `stdout_fd`, when not -1, is given to the daemon as its stdout instead.
std::unique_ptr<daemon_process> start_daemon(const std::vector<std::string> &args, bool quiet = false,
                                             int stdout_fd = -1);

// Like start_daemon, as another user: `identity` holds setpriv's options
// (for example "--reuid=65534 --regid=65534 --clear-groups").
std::unique_ptr<daemon_process> start_daemon_as(const std::string &identity, const std::vector<std::string> &args);

// The path the daemon is started as (its argv[0]): GPSFANOUT_DAEMON when set,
// else this build's binary.
std::string daemon_path();

// Waits until the daemon's stdout (or stderr) holds `needle` at or after
// offset `from`. Returns false on timeout.
bool wait_stdout(daemon_process &d, const std::string &needle, int timeout_ms = patience_ms, size_t from = 0);
bool wait_stderr(daemon_process &d, const std::string &needle, int timeout_ms = patience_ms);
std::string stdout_of(daemon_process &d);
std::string stderr_of(daemon_process &d);

// Waits for the daemon to exit; returns its wait status, or -1 on timeout.
int wait_exit(daemon_process &d, int timeout_ms = patience_ms);

// Ends the daemon (there is no orderly stop) and every other child we have.
void stop_daemon(daemon_process &d);

// Kills every process whose parent is this test (daemons that detached come
// back to us, since the test is their subreaper).
void kill_children();

// Sends one datagram to 127.0.0.1:port.
void send_udp(int port, const std::string &data);

// A UDP socket bound to 0.0.0.0:port that reports each datagram's
// destination address.
int open_catcher(int port);

// Receives one datagram; `destination` gets its dotted destination address.
bool catch_datagram(int fd, std::string *data, std::string *destination, int timeout_ms = patience_ms);

// Receives datagrams until one addressed to `destination` arrives.
bool catch_datagram_to(int fd, const std::string &destination, std::string *data, int timeout_ms = patience_ms);

// Opens a TCP connection to 127.0.0.1:port; -1 on failure.
int connect_tcp(int port);

// Connects as soon as the daemon listens (its listener starts on a thread of
// its own); -1 when it does not within the time.
int connect_when_listening(int port, int timeout_ms = patience_ms);

// Reads from fd, appending to *received, until it holds `needle`.
bool read_until(int fd, std::string *received, const std::string &needle, int timeout_ms = patience_ms);

// Sends lines until one of them reaches the TCP client: then the client is
// registered. Returns false on timeout. Lines read go to *received.
bool sync_client(int client, int udp_port, std::string *received, int timeout_ms = patience_ms);

// A pseudo-terminal standing in for the receiver: the slave appears at `path`.
struct fake_receiver {
    int master = -1;
    std::string path;
    std::string slave;
};
bool plug_receiver(const std::string &path, fake_receiver *r);
void unplug_receiver(fake_receiver *r);

// Reads from the master side until `needle` has arrived.
bool read_receiver_until(fake_receiver *r, std::string *received, const std::string &needle,
                         int timeout_ms = patience_ms);

// Number of open descriptors and of threads of a process. The thread count
// leaves out GPSFANOUT_EMULATOR_THREADS, when set: the threads an emulator
// that runs the daemon keeps for itself (qemu-user: 1).
int count_fds(pid_t pid);
int count_threads(pid_t pid);

// Milliseconds on a monotonic clock.
long long now_ms();
