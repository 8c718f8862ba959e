// SPDX-License-Identifier: BSD-2-Clause
// What the TCP service holds: descriptors and threads come back when clients
// go, running out of them is survived without spinning, and a port that
// cannot be listened on costs only the clients.
#include <iostream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using ClientResources = DaemonTest;

TEST_F(ClientResources, ChurnLeavesDescriptorAndThreadCountsWhereTheyStarted)
{
    start({}, quiet);
    // The keeper stays throughout; the counts are taken with it registered.
    int keeper = client();
    ASSERT_GE(keeper, 0);
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);

    // Each client joins (so it was accepted and served), and then leaves in
    // one of three ways: an orderly close, a reset, or a half close that
    // goes on to a full one. The lines relayed for the next client's join
    // let the daemon notice.
    const int cycles = 2500;
    long long begun = now_ms();
    for (int i = 0; i < cycles; i++) {
        int comer = connect_tcp();
        ASSERT_TRUE(join(comer)) << i;
        switch (i % 3) {
        case 0: close(comer); break;
        case 1: abort_connection(comer); break;
        default:
            shutdown(comer, SHUT_WR);
            close(comer);
            break;
        }
    }
    std::cout << "[ measured ] " << cycles << " connect/disconnect cycles in " << now_ms() - begun << " ms\n";

    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));
    // Finished threads are reclaimed: none leaves its stack behind (a few
    // are kept for reuse).
    int stacks = thread_stacks(d->pid);
    std::cout << "[ measured ] thread stacks mapped afterwards: " << stacks << "\n";
    EXPECT_LT(stacks, cycles / 5);
    EXPECT_TRUE(running(*d));
}

TEST_F(ClientResources, OutOfDescriptorsTheListenerPausesAndServesAgainLater)
{
    ASSERT_EQ(started(), -1);
    int keeper = client();
    ASSERT_GE(keeper, 0);
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);
    rlimit old_limit;
    ASSERT_EQ(prlimit(d->pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);

    // No descriptor free: accept fails over and over. The listener must wait
    // between tries rather than spin, and the connection stays pending.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 0)));
    int pending = own(connect_tcp());
    ASSERT_GE(pending, 0); // the kernel completes it; the daemon cannot take it
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used while accept keeps failing";

    // One descriptor free: the connection is accepted but gets no pipe. It is
    // said so, and the connection is closed rather than kept.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 1)));
    std::string got;
    EXPECT_TRUE(closed_by_daemon(pending, &got));
    EXPECT_EQ(got, "");
    EXPECT_TRUE(wait_stderr(*d, "Unable to create pipe: Too many open files\n")) << stderr_of(*d);
    leave(pending);
    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));

    // With descriptors back, clients are served again.
    ASSERT_TRUE(limit_fds(d->pid, static_cast<int>(old_limit.rlim_cur)));
    EXPECT_GE(client(), 0);
}

TEST_F(ClientResources, AClientThreadThatCannotStartIsUnregisteredAndReleased)
{
    if (sanitized)
        GTEST_SKIP() << "a sanitized daemon cannot run under a tight address-space limit";
    start({}, quiet);
    // The keeper's thread stays alive, so no finished thread's stack is
    // cached for reuse: a new thread needs fresh address space.
    int keeper = client();
    ASSERT_GE(keeper, 0);
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);

    long in_use = status_value(d->pid, "VmSize:");
    ASSERT_GT(in_use, 0);
    rlimit tight = {static_cast<rlim_t>(in_use + 64) * 1024, RLIM_INFINITY};
    ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &tight, nullptr), 0);
    int refused = own(connect_tcp());
    ASSERT_GE(refused, 0);
    std::string got;
    EXPECT_TRUE(closed_by_daemon(refused, &got)) << "a client without a thread was kept";
    EXPECT_EQ(got, "");
    leave(refused);
    EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper));

    rlimit loose = {RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &loose, nullptr), 0);
    EXPECT_GE(client(), 0);
}

TEST_F(ClientResources, ATakenTcpPortIsReportedAndTheRelayGoesOn)
{
    ASSERT_GE(own(occupy_port(SOCK_STREAM, tcp_port)), 0);
    ASSERT_GE(catcher(), 0);
    start();
    ASSERT_TRUE(wait_stderr(*d, "Unable to listen on TCP port 11102: Address already in use\n")) << stderr_of(*d);
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    // The listener has ended: main, the relay and the writer of its progress
    // are left (a sanitizer may run threads of its own).
    if (!sanitized) {
        EXPECT_TRUE(eventually([&] { return count_threads(d->pid) == 3; })) << count_threads(d->pid);
    }
    send_udp("$GPTXT,no clients*00\r\n");
    EXPECT_EQ(broadcast(), "$GPTXT,no clients*00\n");
}

} // namespace
