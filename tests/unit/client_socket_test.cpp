// SPDX-License-Identifier: BSD-2-Clause
// A client's connection: the timers set on it, and sends that complete what
// they start but give up on a client that takes nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <netinet/tcp.h>
#include <sys/time.h>

#include "clients/client_socket.h"
#include "descriptor_tools.h"

namespace {

std::atomic<int> interruptions{0};

long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

TEST(SendAll, AGonePeerIsAFailureNotASignalAndOneThatTakesNothingIsGivenUpAfterTheLimit)
{
    int pair[2];
    ASSERT_TRUE(tcp_pair(pair, 4096));
    const std::string payload(256 * 1024, 'x');
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(send_all(pair[0], payload.data(), payload.size(), 300));
    long long waited = elapsed_ms(start);
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 5000);
    close(pair[0]);
    close(pair[1]);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    // SIGPIPE is left at its default here: were it raised, this test would die.
    EXPECT_FALSE(send_all(pair[0], "$GPGGA,1*00\n", 12));
    close(pair[0]);
}

TEST(SendAll, ASlowClientThatKeepsTakingIsNeverCutNorASendThatSignalsInterrupt)
{
    // The client takes a kilobyte every 25 ms: each window it opens lets a little more in well within the
    // limit, though the sender's large buffer never gets a third free, when poll would report room. The whole
    // send takes several times the limit.
    int pair[2];
    ASSERT_TRUE(tcp_pair(pair, 32 * 1024));
    const int stall_ms = 250;
    std::string payload(96 * 1024, '\0');
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<char>('A' + (i * 7 + i / 1021) % 26);
    // A timer signal every millisecond, taken only by the sending thread, lands in the middle of its waits.
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
    std::string received;
    std::thread reader([&] { // inherits the mask
        char buffer[1024];
        for (ssize_t n; received.size() < payload.size() && (n = read(pair[1], buffer, sizeof buffer)) > 0;
             usleep(25 * 1000))
            received.append(buffer, static_cast<size_t>(n));
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    struct sigaction action = {};
    action.sa_handler = [](int) { interruptions++; };
    sigaction(SIGALRM, &action, nullptr);
    itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    auto start = std::chrono::steady_clock::now();
    bool sent = send_all(pair[0], payload.data(), payload.size(), stall_ms);
    long long took = elapsed_ms(start);
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    shutdown(pair[0], SHUT_WR); // the reader sees the end of what was sent
    reader.join();
    close(pair[0]);
    close(pair[1]);
    EXPECT_TRUE(sent) << "cut after " << took << " ms";
    EXPECT_GT(took, 3 * stall_ms) << "the send was too quick to tell";
    EXPECT_GT(interruptions.load(), 0);
    EXPECT_TRUE(received == payload) << received.size() << " of " << payload.size() << " bytes";
}

TEST(ClientOptions, KeepaliveTheUserTimeoutAndNoDelayAreSetOnTheConnection)
{
    int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_fd, 0);
    EXPECT_TRUE(set_client_options(socket_fd));
    const struct { const char *name; int level, option, expected; } options[] = {
        {"TCP_NODELAY", IPPROTO_TCP, TCP_NODELAY, 1}, // texts go at once, not after the last one's ack
        {"SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 1},
        {"TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, 30},
        {"TCP_KEEPINTVL", IPPROTO_TCP, TCP_KEEPINTVL, 10},
        {"TCP_KEEPCNT", IPPROTO_TCP, TCP_KEEPCNT, 3},
        {"TCP_USER_TIMEOUT", IPPROTO_TCP, TCP_USER_TIMEOUT, 60 * 1000},
    };
    for (auto &o : options) {
        int value = -1;
        socklen_t size = sizeof value;
        ASSERT_EQ(getsockopt(socket_fd, o.level, o.option, &value, &size), 0) << o.name;
        EXPECT_EQ(value, o.expected) << o.name;
    }
    close(socket_fd);
    // The user timeout also ends keepalive once it has passed; the probes are
    // timed so that both give up on a silent client at the same moment.
    EXPECT_EQ((keepalive_idle_s + keepalive_probes * keepalive_interval_s) * 1000, client_stall_ms);
}

} // namespace
