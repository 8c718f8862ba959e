// What the TCP service holds: descriptors and threads come back when clients
// go, running out of them is survived without spinning, and a port that
// cannot be listened on costs only the clients.
#include <cstring>
#include <iostream>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_helpers.h"

namespace {

// A new client can join the relay.
bool serves_a_new_client()
{
    int client = connect_tcp(tcp_port);
    std::string stream;
    bool joined = client >= 0 && join_relay(client, &stream);
    close(client);
    return joined;
}

TEST(ClientResources, ChurnLeavesDescriptorAndThreadCountsWhereTheyStarted)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    // The keeper stays throughout; the counts are taken with it registered.
    int keeper = connect_when_listening(tcp_port);
    ASSERT_GE(keeper, 0);
    std::string keeper_stream;
    ASSERT_TRUE(join_relay(keeper, &keeper_stream));
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);

    // Each client joins (so it was accepted and served), and then leaves in
    // one of three ways: an orderly close, a reset, or a half close that
    // goes on to a full one. The lines relayed for the next client's join
    // let the daemon notice.
    const int cycles = 2500;
    long long start = now_ms();
    for (int i = 0; i < cycles; i++) {
        int client = connect_tcp(tcp_port);
        ASSERT_GE(client, 0) << i;
        std::string stream;
        ASSERT_TRUE(join_relay(client, &stream)) << i;
        switch (i % 3) {
        case 0: close(client); break;
        case 1: abort_connection(client); break;
        default:
            shutdown(client, SHUT_WR);
            close(client);
            break;
        }
    }
    std::cout << "[ measured ] " << cycles << " connect/disconnect cycles in " << now_ms() - start << " ms\n";

    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));
    // Finished threads are reclaimed: none leaves its stack behind (a few
    // are kept for reuse).
    int stacks = thread_stacks(d->pid);
    std::cout << "[ measured ] thread stacks mapped afterwards: " << stacks << "\n";
    EXPECT_LT(stacks, cycles / 5);
    int status;
    EXPECT_EQ(waitpid(d->pid, &status, WNOHANG), 0);
    close(keeper);
}

TEST(ClientResources, OutOfDescriptorsTheListenerPausesAndServesAgainLater)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    int keeper = connect_when_listening(tcp_port);
    std::string keeper_stream;
    ASSERT_TRUE(join_relay(keeper, &keeper_stream));
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);
    rlimit old_limit;
    ASSERT_EQ(prlimit(d->pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);

    // No descriptor free: accept fails over and over. The listener must wait
    // between tries rather than spin, and the connection stays pending.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 0)));
    int pending = connect_tcp(tcp_port);
    ASSERT_GE(pending, 0); // the kernel completes it; the daemon cannot take it
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used while accept keeps failing";

    // One descriptor free: the connection is accepted but gets no pipe. It is
    // said so, and the connection is closed rather than kept.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 1)));
    std::string got;
    EXPECT_TRUE(closed_by_daemon(pending, &got));
    EXPECT_EQ(got, "");
    EXPECT_TRUE(wait_stderr(*d, "Unable to create pipe: Too many open files\n")) << stderr_of(*d);
    close(pending);
    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));

    // With descriptors back, clients are served again.
    ASSERT_TRUE(limit_fds(d->pid, static_cast<int>(old_limit.rlim_cur)));
    EXPECT_TRUE(serves_a_new_client());
    close(keeper);
}

TEST(ClientResources, AClientThreadThatCannotStartIsUnregisteredAndReleased)
{
    REQUIRE_SANDBOX();
    if (sanitized)
        GTEST_SKIP() << "a sanitized daemon cannot run under a tight address-space limit";
    auto d = start_daemon({}, true);
    // The keeper's thread stays alive, so no finished thread's stack is
    // cached for reuse: a new thread needs fresh address space.
    int keeper = connect_when_listening(tcp_port);
    std::string keeper_stream;
    ASSERT_TRUE(join_relay(keeper, &keeper_stream));
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);

    long long in_use = address_space(d->pid);
    ASSERT_GT(in_use, 0);
    rlimit tight = {static_cast<rlim_t>(in_use + 64 * 1024), RLIM_INFINITY};
    ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &tight, nullptr), 0);
    int refused = connect_tcp(tcp_port);
    ASSERT_GE(refused, 0);
    std::string got;
    EXPECT_TRUE(closed_by_daemon(refused, &got)) << "a client without a thread was kept";
    EXPECT_EQ(got, "");
    close(refused);
    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));

    rlimit loose = {RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &loose, nullptr), 0);
    EXPECT_TRUE(serves_a_new_client());
    close(keeper);
}

TEST(ClientResources, ATakenTcpPortIsReportedAndTheRelayGoesOn)
{
    REQUIRE_SANDBOX();
    int squatter = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(squatter, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(tcp_port);
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(squatter, 5), 0);
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);

    auto d = start_daemon({});
    ASSERT_TRUE(wait_stderr(*d, "Unable to listen on TCP port: Address already in use\n")) << stderr_of(*d);
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    // The listener has ended: main, the relay and the writer of its progress
    // are left (a sanitizer may run threads of its own).
    long long deadline = now_ms() + patience_ms;
    while (!sanitized && count_threads(d->pid) != 3 && now_ms() < deadline)
        usleep(10 * 1000);
    if (!sanitized) {
        EXPECT_EQ(count_threads(d->pid), 3);
    }
    send_udp(udp_in_port, "$GPTXT,no clients*00\r\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPTXT,no clients*00\n");
    close(catcher);
    close(squatter);
}

} // namespace
