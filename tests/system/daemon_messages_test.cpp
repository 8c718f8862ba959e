// SPDX-License-Identifier: BSD-2-Clause
// Where the daemon's messages go: progress never holds up the relay, and a
// detached daemon's failures reach the system log.
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "harness.h"

namespace {

using DaemonMessages = DaemonTest;

TEST_F(DaemonMessages, AnUnreadStandardOutputHoldsUpNothing)
{
    // A pipe nobody reads: 64 KiB of progress fill it, then writes would wait.
    int unread[2];
    ASSERT_EQ(pipe(unread), 0);
    own(unread[0]);
    daemon_options into_pipe;
    into_pipe.stdout_fd = unread[1];
    start({}, into_pipe);
    close(unread[1]);
    int reader = client();
    ASSERT_GE(reader, 0);
    std::string received;
    const int lines = 3000;
    for (int i = 0; i < lines; i++) {
        send_udp("$GPTXT,unread " + std::to_string(i) + "\r\n");
        // In rounds, so that the daemon's input never overflows meanwhile.
        if (i % 100 == 99 || i == lines - 1) {
            ASSERT_TRUE(read_until(reader, &received, "$GPTXT,unread " + std::to_string(i) + "\n")) << i;
        }
    }
    EXPECT_EQ(lines_of(received).size(), static_cast<size_t>(lines));
}

// A listener where the system log is: the daemon's log messages arrive here.
int listen_as_system_log()
{
    int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    unlink(address.sun_path);
    if (log < 0 || bind(log, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    return log;
}

TEST_F(DaemonMessages, ADetachedDaemonSaysItsFailuresInTheSystemLog)
{
    int log = own(listen_as_system_log());
    ASSERT_GE(log, 0);
    // Both ports taken: the daemon runs on without a socket, and must say so.
    ASSERT_GE(own(occupy_port(SOCK_STREAM, tcp_port)), 0);
    ASSERT_GE(own(occupy_port(SOCK_DGRAM, udp_in_port)), 0);

    start({"-d"}, quiet);
    EXPECT_EQ(wait_exit(*d), 0); // the parent returns at once
    std::string said;
    for (const char *failure : {"Unable to listen on TCP port 11102: Address already in use",
                                "Unable to bind UDP input port 10101: Address already in use"}) {
        while (said.find(failure) == std::string::npos) {
            char entry[1024];
            pollfd watch = {log, POLLIN, 0};
            ASSERT_GT(poll(&watch, 1, patience_ms), 0) << "not in the log: " << failure << "\n" << said;
            ssize_t got = recv(log, entry, sizeof entry, 0);
            ASSERT_GT(got, 0);
            std::string line(entry, static_cast<size_t>(got));
            // Facility daemon, priority error, our name and process.
            EXPECT_EQ(line.rfind("<27>", 0), 0u) << line;
            EXPECT_NE(line.find(" gpsfanout["), std::string::npos) << line;
            said += line + "\n";
        }
    }
    unlink("/dev/log");
}

} // namespace
