// SPDX-License-Identifier: BSD-2-Clause
// What the TCP service holds: running out of descriptors or address space is survived without spinning,
// and descriptors and threads come back when clients go.
#include <iostream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using ClientResources = DaemonTest;

TEST_F(ClientResources, OutOfDescriptorsOrAddressSpaceAClientIsRefusedAndChurnLeavesTheCountsWhereTheyStarted)
{
    start({}, quiet);
    // The keeper stays throughout, and the counts are taken with it registered. Its thread stays alive, so no
    // finished thread's stack is cached for reuse until the churn: a new thread needs fresh address space.
    int keeper = client();
    ASSERT_GE(keeper, 0);
    int fds_start, threads_start;
    steady_counts(d->pid, &fds_start, &threads_start);
    // A connection the daemon takes but cannot serve is closed unread, and nothing of it stays.
    auto closed_and_gone = [&](int refused, const char *why) {
        std::string got;
        EXPECT_TRUE(closed_by_daemon(refused, &got)) << why;
        EXPECT_EQ(got, "") << why;
        leave(refused);
        EXPECT_TRUE(counts_settle(d->pid, fds_start, threads_start, keeper)) << why;
    };
    rlimit old_limit;
    ASSERT_EQ(prlimit(d->pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);

    // No descriptor free: accept fails over and over, and the listener must wait between tries, not spin.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 0)));
    int pending = own(connect_tcp());
    ASSERT_GE(pending, 0); // the kernel completes it; the daemon cannot take it
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used while accept keeps failing";
    // One descriptor free: the connection is accepted but gets no pipe.
    ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 1)));
    closed_and_gone(pending, "a client without a pipe");
    EXPECT_TRUE(wait_stderr(*d, "Unable to create pipe: Too many open files\n")) << stderr_of(*d);
    ASSERT_TRUE(limit_fds(d->pid, static_cast<int>(old_limit.rlim_cur)));

    // No address space for a thread: the client is unregistered and released.
    if (!sanitized) { // a sanitized daemon cannot run under a tight address-space limit
        long in_use = status_value(d->pid, "VmSize:");
        ASSERT_GT(in_use, 0);
        rlimit tight = {static_cast<rlim_t>(in_use + 64) * 1024, RLIM_INFINITY};
        ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &tight, nullptr), 0);
        closed_and_gone(own(connect_tcp()), "a client without a thread");
        rlimit loose = {RLIM_INFINITY, RLIM_INFINITY};
        ASSERT_EQ(prlimit(d->pid, RLIMIT_AS, &loose, nullptr), 0);
    }

    // With both back, clients are served again. Each joins (so it was accepted and served), then leaves in one
    // of three ways: an orderly close, a reset, or a half close that goes on to a full one. The lines relayed
    // for the next client's join let the daemon notice.
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
    // Finished threads are reclaimed: none leaves its stack behind (a few are kept for reuse).
    int stacks = thread_stacks(d->pid);
    std::cout << "[ measured ] thread stacks mapped afterwards: " << stacks << "\n";
    EXPECT_LT(stacks, cycles / 5);
    EXPECT_TRUE(running(*d));
}

} // namespace
