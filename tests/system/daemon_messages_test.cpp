// Where the daemon's messages go: progress never holds up the relay, and a
// detached daemon's failures reach the system log.
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client_helpers.h"
#include "sandbox.h"

namespace {

TEST(DaemonMessages, AnUnreadStandardOutputHoldsUpNothing)
{
    REQUIRE_SANDBOX();
    // A pipe nobody reads: 64 KiB of progress fill it, then writes would wait.
    int unread[2];
    ASSERT_EQ(pipe(unread), 0);
    auto d = start_daemon({}, false, unread[1]);
    close(unread[1]);
    int client = connect_when_listening(tcp_port);
    std::string received;
    ASSERT_TRUE(sync_client(client, udp_in_port, &received));
    const int lines = 3000;
    for (int i = 0; i < lines; i++) {
        send_udp(udp_in_port, "$GPTXT,unread " + std::to_string(i) + "\r\n");
        // In rounds, so that the daemon's input never overflows meanwhile.
        if (i % 100 == 99 || i == lines - 1) {
            ASSERT_TRUE(read_until(client, &received, "$GPTXT,unread " + std::to_string(i) + "\n")) << i;
        }
    }
    EXPECT_EQ(lines_of(received).size(), static_cast<size_t>(lines));
    close(client);
    close(unread[0]);
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

TEST(DaemonMessages, ADetachedDaemonSaysItsFailuresInTheSystemLog)
{
    REQUIRE_SANDBOX();
    int log = listen_as_system_log();
    ASSERT_GE(log, 0);
    // Both ports taken: the daemon runs on without a socket, and must say so.
    int tcp_squatter = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int udp_squatter = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in tcp = {}, udp = {};
    tcp.sin_family = udp.sin_family = AF_INET;
    tcp.sin_port = htons(tcp_port);
    udp.sin_port = htons(udp_in_port);
    ASSERT_EQ(bind(tcp_squatter, reinterpret_cast<sockaddr *>(&tcp), sizeof tcp), 0);
    ASSERT_EQ(listen(tcp_squatter, 1), 0);
    ASSERT_EQ(bind(udp_squatter, reinterpret_cast<sockaddr *>(&udp), sizeof udp), 0);

    auto d = start_daemon({"-d"}, true);
    EXPECT_EQ(wait_exit(*d), 0); // the parent returns at once
    std::string said;
    for (const char *failure : {"Unable to listen on TCP port: Address already in use",
                                "Unable to bind UDP input port: Address already in use"}) {
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
    kill_children();
    close(log);
    close(tcp_squatter);
    close(udp_squatter);
    unlink("/dev/log");
}

} // namespace
