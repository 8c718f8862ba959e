// SPDX-License-Identifier: BSD-2-Clause
// Where the daemon's messages go: neither progress nor failures hold up the relay, what is dropped is
// dropped whole and counted, and a detached daemon's failures reach the system log.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

using DaemonMessages = DaemonTest;

const std::string status_failure = "Unable to publish /tmp/nmea.status: Is a directory";
const std::string record_failure = "Unable to publish /tmp/sbd10.status: Is a directory";
const std::string lost_note = "Messages lost while nobody read them: ";

// The parameter names who takes nothing of the daemon's failures.
class FailuresNobodyTakes : public DaemonTest, public testing::WithParamInterface<std::string> {};

TEST_P(FailuresNobodyTakes, HoldUpNoLineAndTheirLossIsCountedOnceTaken)
{
    const bool to_log = GetParam() == "UnreadSystemLog";
    int held = -1; // our side: the pipe's reader, the terminal's master, the log
    daemon_options options = to_log ? daemon_options() : quiet; // detached, it must leave its pty alone
    if (GetParam() == "UnreadPipe") { // filled to the last byte: the next write waits
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
        held = ends[0];
        while (write(ends[1], "\n", 1) > 0) {
        }
        fcntl(ends[1], F_SETFL, 0);
        options.stderr_fd = ends[1];
    } else if (GetParam() == "TerminalHeldWithCtrlS") { // IXON is on by default: writes wait until Ctrl-Q
        held = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(held >= 0 && grantpt(held) == 0 && unlockpt(held) == 0);
        options.stderr_fd = open(ptsname(held), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(write(held, "\x13", 1), 1);
    } else { // a listener where the system log is
        held = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        unlink(address.sun_path);
        ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    own(held);
    start(to_log ? std::vector<std::string>{"-d"} : std::vector<std::string>{}, options);
    if (to_log)
        ASSERT_EQ(wait_exit(*d), 0); // detached
    else
        ASSERT_EQ(close(options.stderr_fd), 0);
    int reader = client();
    ASSERT_GE(reader, 0);

    // Each round both reports fail anew (a directory stands at each name) and are then published again:
    // two failures a round, several times what the queue holds. A held relay would pass no line on.
    const int rounds = 150;
    udp_sender receiver;
    std::string received;
    receiver.send(as_sent(example_gga));
    for (int round = 0; round < rounds; round++)
        for (bool planted : {true, false}) {
            for (const char *name : {"/tmp/nmea.status", "/tmp/sbd10.status"}) {
                if (planted)
                    unlink(name); // the report published the round before
                ASSERT_EQ(planted ? mkdir(name, 0755) : rmdir(name), 0) << name;
            }
            std::string marker = "$GPTXT,round " + std::to_string(round) + (planted ? " planted\n" : " cleared\n");
            receiver.send(as_sent(example_rmc) + as_sent(marker));
            ASSERT_TRUE(read_until(reader, &received, marker, sanitized ? patience_ms : 3000)) << marker;
        }

    // Let go: every failure said comes in order, those beyond the queue are
    // counted, and the count comes once, last. Detached, it says nothing here.
    if (GetParam() == "TerminalHeldWithCtrlS") {
        ASSERT_EQ(write(held, "\x11", 1), 1);
    }
    // Read until the count has come whole; each datagram of the log is a line.
    std::string said, order, expected;
    auto counted = [&] {
        size_t at = said.find(lost_note);
        return at != std::string::npos && said.find('\n', at) != std::string::npos;
    };
    char buffer[4096];
    pollfd watch = {held, POLLIN, 0};
    for (ssize_t n; !counted() && poll(&watch, 1, patience_ms) > 0 && (n = read(held, buffer, sizeof buffer)) > 0;)
        said += std::string(buffer, static_cast<size_t>(n)) + (to_log ? "\n" : "");
    long lost = 0;
    for (const std::string &line : lines_of(said)) {
        if (to_log) { // facility daemon, priority error, our name and process
            EXPECT_EQ(line.rfind("<27>", 0), 0u) << line;
            EXPECT_NE(line.find(" gpsfanout["), std::string::npos) << line;
        }
        size_t at = line.find(lost_note);
        order += line.find(status_failure) != std::string::npos   ? "s"
                 : line.find(record_failure) != std::string::npos ? "r"
                 : at != std::string::npos                        ? "#"
                                                                  : "";
        if (at != std::string::npos)
            lost = atol(line.c_str() + at + lost_note.size());
    }
    EXPECT_GT(lost, 0) << said;
    for (long i = 0; i < 2 * rounds - lost; i++)
        expected += i % 2 == 0 ? "s" : "r";
    EXPECT_EQ(order, expected + "#") << said;
    if (to_log) {
        EXPECT_EQ(stdout_of(*d) + stderr_of(*d), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FailuresNobodyTakes,
                         testing::Values("UnreadPipe", "TerminalHeldWithCtrlS", "UnreadSystemLog"),
                         [](const testing::TestParamInfo<std::string> &row) { return row.param; });

TEST_F(DaemonMessages, InterfaceLinesAndTheirEchoAreShownOrDroppedTogether)
{
    // Standard output on a pipe read only after far more progress than it, the writer and the queue hold:
    // the queue fills and is emptied again, a few times over.
    int unread[2];
    ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    own(unread[0]);
    daemon_options into_pipe;
    into_pipe.stdout_fd = unread[1];
    start({}, into_pipe);
    close(unread[1]);
    fcntl(unread[0], F_SETFL, O_NONBLOCK);
    int reader = client();
    ASSERT_GE(reader, 0);
    std::string received, shown, end;
    udp_sender receiver;
    const int rounds = 5, lines = 1000;
    for (int round = 0; round < rounds; round++) {
        for (int i = 0; i < lines; i++) {
            // Texts of varied lengths, so that the queue's last room varies too.
            std::string text = "$GPTXT," + std::to_string(round * lines + i) + std::string(i % 13 * 5, 'x') + "\n";
            receiver.send(as_sent(text));
            if (i % 100 == 99) {
                ASSERT_TRUE(read_until(reader, &received, text)) << i;
            }
        }
        // Read until a text relayed meanwhile comes out (stdio keeps up to a block back): all queued is out.
        end = "$GPTXT,read " + std::to_string(round) + "\n";
        ASSERT_TRUE(eventually([&] {
            char buffer[65536];
            for (ssize_t n; (n = read(unread[0], buffer, sizeof buffer)) > 0;)
                shown.append(buffer, static_cast<size_t>(n));
            receiver.send(as_sent(end));
            return shown.find(end) != std::string::npos;
        }));
    }
    shown.resize(shown.find(end) + end.size());

    // Every echo right after the whole block of interface lines, and every block right before an echo.
    size_t block = 0, run = 0, echoes = 0, torn = 0;
    std::string first_torn;
    for (const std::string &line : lines_of(shown)) {
        if (line.find(" - ") != std::string::npos && line.size() > 2 && line[line.size() - 2] == ' ') {
            run++;
            continue;
        }
        if (line[0] == '$' && block == 0)
            block = run;
        if (run != (line[0] == '$' ? block : 0) && torn++ == 0)
            first_torn = line;
        echoes += line.size() > 7 && isdigit(static_cast<unsigned char>(line[7]));
        run = 0;
    }
    EXPECT_GT(block, 0u);
    EXPECT_EQ(torn, 0u) << "first at: " << first_torn;
    EXPECT_LT(echoes, static_cast<size_t>(rounds * lines)) << "nothing was dropped: the queue was never full";
}

TEST_F(DaemonMessages, APipeThatCannotBeMadeIsSaidOnceUntilOneCanBeMadeAgain)
{
    start({}, quiet);
    ASSERT_GE(client(), 0);
    rlimit old_limit;
    ASSERT_EQ(prlimit(d->pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);
    // One descriptor free: each connection is accepted but gets no pipe.
    for (int refused : {3, 1}) {
        ASSERT_TRUE(limit_fds(d->pid, free_fd(d->pid, 1)));
        for (int i = 0; i < refused; i++) {
            int pending = own(connect_tcp());
            ASSERT_GE(pending, 0);
            std::string got;
            EXPECT_TRUE(closed_by_daemon(pending, &got));
            leave(pending);
        }
        ASSERT_TRUE(limit_fds(d->pid, static_cast<int>(old_limit.rlim_cur)));
        EXPECT_GE(client(), 0); // a pipe was made again
    }
    // Failures keep their order: once a report failure said after them is out, so is every one of them.
    ASSERT_EQ(mkdir("/tmp/nmea.status", 0755), 0);
    send_udp(as_sent(example_gga) + as_sent(example_rmc));
    ASSERT_TRUE(wait_stderr(*d, status_failure)) << stderr_of(*d);
    const std::string failure = "Unable to create pipe: Too many open files\n";
    std::string err = stderr_of(*d);
    EXPECT_EQ(err, failure + failure + status_failure + "\n");
    rmdir("/tmp/nmea.status");
}

TEST_F(DaemonMessages, ASigusr1ThatComesWhileTheCommandLineIsReadDoesNotEndIt)
{
    // A bad command line whose usage waits for a standard error nobody reads holds the daemon in its first steps.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    own(ends[0]);
    while (write(ends[1], "\n", 1) > 0) {
    }
    daemon_options held = quiet;
    held.stderr_fd = ends[1];
    fcntl(ends[1], F_SETFL, 0);
    start({"-b", "1234"}, held);
    close(ends[1]);
    std::string waits_in, said; // anon_pipe_write on newer kernels
    ASSERT_TRUE(eventually([&] {
        return read_file("/proc/" + std::to_string(d->pid) + "/wchan", &waits_in) &&
               waits_in.find("pipe_write") != std::string::npos;
    })) << waits_in;
    ASSERT_EQ(kill(d->pid, SIGUSR1), 0);
    read_until(ends[0], &said, std::string(1, '\0')); // to the end
    int status = wait_exit(*d);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1 && said.find("\nUsage: ") != std::string::npos)
        << status;
}

} // namespace

namespace {

// Lines asked for never take a failure's room: a hundred client lines wait for a standard error nobody is
// reading yet, and failures of client threads in that moment are all said, with no loss claimed.
TEST_F(DaemonMessages, LinesAskedForNeverCrowdOutAFailure)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    own(ends[0]);
    while (write(ends[1], "\n", 1) > 0) { // full: the writer waits from its first line
    }
    fcntl(ends[1], F_SETFL, 0);
    daemon_options options = quiet;
    options.stderr_fd = ends[1];
    start({"-a", "192.0.2.0/24"}, options); // loopback may not write: a client's first text is a failure
    ASSERT_EQ(close(ends[1]), 0);
    std::vector<int> clients;
    for (int i = 0; i < client_slots; i++) {
        clients.push_back(client());
        ASSERT_GE(clients.back(), 0) << i;
    }
    ASSERT_EQ(kill(d->pid, SIGUSR1), 0);
    ASSERT_TRUE(eventually([&] { // taken by the counters thread, whose lines then fill what room there is
        std::string status;
        return read_file("/proc/" + std::to_string(d->pid) + "/status", &status) &&
               status.find("ShdPnd:\t0000000000000000") != std::string::npos;
    }));
    const int writers = 10;
    const std::string command = "$PMTK220,1000*1F\r\n";
    for (int i = 0; i < writers; i++)
        ASSERT_EQ(send(clients[i], command.data(), command.size(), 0), static_cast<ssize_t>(command.size()));
    // Read at last: every line asked for and every failure come, and no loss is claimed.
    std::string said;
    auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t at = said.find(what); at != std::string::npos; at = said.find(what, at + 1))
            n++;
        return n;
    };
    char buffer[4096];
    pollfd watch = {ends[0], POLLIN, 0};
    for (ssize_t n; (count("client: ") < client_slots || count("may not write") < writers) &&
                    poll(&watch, 1, patience_ms) > 0 && (n = read(ends[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(count("client: "), static_cast<size_t>(client_slots));
    EXPECT_EQ(count("may not write"), static_cast<size_t>(writers)) << said.substr(said.find_first_not_of('\n'));
    EXPECT_EQ(count("Messages lost"), 0u);
}

} // namespace
