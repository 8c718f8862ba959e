// SPDX-License-Identifier: BSD-2-Clause
// Text that TCP clients send goes to the receiver on the serial line, a line at a time, while one is there.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

#include "harness.h"

namespace {

using ClientInput = DaemonTest;

bool send_text(int client, const std::string &text)
{
    return send(client, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// A client from the veth pair's address rather than loopback: two source addresses in one sandbox.
int connect_from_veth()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    inet_pton(AF_INET, veth_address, &address.sin_addr);
    bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    address.sin_port = htons(tcp_port);
    if (!bound || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The value of `key` in the next counters line (SIGUSR1); "" when none comes.
std::string counted(daemon_process &d, const std::string &key)
{
    return value_of(nth(said_on_request(d, 0, 1000), 0), key);
}

TEST_F(ClientInput, TwoClientsWritingAtOnceGiveTwoWholeChunksAndOneThatStopsSendingStillReceives)
{
    ASSERT_GT(started_with_receiver(), 0);
    int first = client(), second = client();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    int fds_before, threads_before;
    steady_counts(d->pid, &fds_before, &threads_before);

    // Each chunk takes a few hundred milliseconds on the paced line, so the second writer waits for the first.
    const std::string a = "$PAAAA," + std::string(500, 'a') + "*00\n";
    const std::string b = "$PBBBB," + std::string(500, 'b') + "*00\n";
    std::thread other([&] { send_text(second, b); });
    ASSERT_TRUE(send_text(first, a));
    other.join();
    send_udp("$GPTXT,next*00\r\n");
    std::string line;
    size_t total = on_the_line(a).size() + on_the_line(b).size();
    eventually([&] {
        read_until(gps.master, &line, "\n\n", 100); // never there; reads what comes
        return line.size() >= total;
    });
    EXPECT_TRUE(line == on_the_line(a) + on_the_line(b) || line == on_the_line(b) + on_the_line(a)) << line;

    // A client that has stopped sending still receives until it leaves.
    int quiet_one = client();
    ASSERT_TRUE(send_text(quiet_one, "$PLAST,words*00\n"));
    shutdown(quiet_one, SHUT_WR);
    std::string stream;
    for (int n = 0; n < 5; n++)
        ASSERT_TRUE(relay_to(quiet_one, &stream, "$GPTXT,after shutdown," + std::to_string(n) + "*00\n")) << n;
    ASSERT_TRUE(read_until(gps.master, &line, "$PLAST,words*00\r\n"));
    // The end of its sending side is seen once, not over and over.
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used in one idle second";
    ASSERT_TRUE(relay_to(quiet_one, &stream, "$GPTXT,still there*00\n"));
    leave(quiet_one);
    EXPECT_TRUE(counts_settle(d->pid, fds_before, threads_before, first));
}

// With no serial device, or before the receiver is plugged in; once the receiver is there, the text comes.
TEST_F(ClientInput, WithoutAReceiverClientTextWaitsUnreadAndNothingSpins)
{
    const std::string command = "$PMTK314,0,1,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0*28\n";
    std::string block;
    while (block.size() + command.size() <= 65536)
        block += command;
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "-s" : "no serial device");
        start(serial ? std::vector<std::string>{"-s"} : std::vector<std::string>{});
        int writer = client();
        ASSERT_GE(writer, 0);
        // Were the daemon reading (and dropping) it, this would never fill up.
        size_t sent = 0;
        bool full = eventually([&] {
            ssize_t n = send(writer, block.data(), block.size(), MSG_DONTWAIT);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            return (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || sent >= (256u << 20);
        });
        ASSERT_TRUE(full && sent < (256u << 20)) << sent << " bytes were taken";
        // A reader, however slow, would make room again; none comes, and the daemon sits idle meanwhile.
        double cpu_before = cpu_seconds(d->pid);
        pollfd room = {writer, POLLOUT, 0};
        EXPECT_EQ(poll(&room, 1, 1000), 0) << "the daemon took client text without a receiver";
        EXPECT_LT(cpu_seconds(d->pid) - cpu_before, 0.3) << "CPU seconds used in one idle second";
        std::string stream;
        ASSERT_TRUE(relay_to(writer, &stream, "$GPTXT,still relaying*00\n"));
    }

    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_GT(reported_fd(*d, "Opened ttyfd = "), 0);
    send_udp("$GPTXT,next*00\r\n");
    std::string line;
    ASSERT_TRUE(read_until(gps.master, &line, on_the_line(command)));
    // Relayed lines are not written back without -w: only the client's text, the last line perhaps cut short.
    for (const std::string &text : lines_of(line))
        EXPECT_EQ(on_the_line(command).compare(0, text.size(), text), 0) << text;
}

// With -a, a client outside the named networks reads every line, but what it sends is read and discarded;
// loopback writes as a network named like any other.
TEST_F(ClientInput, WithWritersNamedOthersOnlyReadAndNamedLoopbackWrites)
{
    const std::string said = std::string("Client ") + veth_address +
                             " may not write to the receiver (-a): its text is discarded\n";
    const std::string mine = "$PMTK220,1000*1F\n", theirs = "$PMTK251,38400*27\n";
    const struct { const char *network; bool veth_writes; } rows[] = {{"10.9.8.0/24", false},
                                                                      {"198.51.100.0/24", true}};
    for (auto &row : rows) {
        SCOPED_TRACE(row.network);
        ASSERT_GT(started_with_receiver({"-s", "-a", row.network, "-a", "127.0.0.1"}), 0);
        int local = client(), remote = own(connect_from_veth());
        ASSERT_GE(local, 0);
        ASSERT_TRUE(join(remote));
        // From the veth address: one command where it may write; where not, two megabytes of them, which
        // the daemon must take as they come, or the socket would fill and a send wait out its time.
        timeval patience = {patience_ms / 1000, 0};
        ASSERT_EQ(setsockopt(remote, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience), 0);
        std::string block = theirs, stream, relayed, line;
        while (!row.veth_writes && block.size() + theirs.size() <= 65536)
            block += theirs;
        size_t sent = 0;
        for (int n = 0; n < (row.veth_writes ? 1 : 32); n++, sent += block.size()) {
            ASSERT_TRUE(send_text(remote, block)) << n;
            relayed += "$GPTXT,to every client," + std::to_string(n) + "*00\n";
            ASSERT_TRUE(relay_to(remote, &stream, relayed.substr(relayed.rfind('$')))) << n;
        }
        // Every line relayed, in order, and only join lines besides.
        std::string without_joins;
        for (const std::string &text : lines_of(stream))
            without_joins += is_join_line(text) ? "" : text;
        EXPECT_EQ(without_joins, relayed);
        if (row.veth_writes) {
            ASSERT_TRUE(read_until(gps.master, &line, on_the_line(theirs)));
        }
        const std::string discarded = row.veth_writes ? "0" : std::to_string(sent);
        ASSERT_TRUE(eventually([&] { return counted(*d, "client_bytes_discarded") == discarded; }));
        // All taken: the loopback client's command comes next, whole, and nothing of the veth client's after it.
        ASSERT_TRUE(send_text(local, mine));
        ASSERT_TRUE(read_until(gps.master, &line, on_the_line(mine)));
        EXPECT_EQ(line, (row.veth_writes ? on_the_line(theirs) : "") + on_the_line(mine));
        std::string err = stderr_of(*d);
        size_t first = err.find(said);
        EXPECT_EQ(first == std::string::npos, row.veth_writes) << err;
        EXPECT_TRUE(first == std::string::npos || err.find(said, first + 1) == std::string::npos) << err;
    }
}

// Numbered lines relayed at a steady pace by a thread of its own while it lives: with -w, a relayed line on
// the device shows where a client's line was cut.
struct relaying {
    std::atomic<bool> on{true};
    std::thread sender;
    relaying(int period_ms, const std::string &head)
        : sender([this, period_ms, head] {
              for (int i = 0; on; i++, usleep(static_cast<useconds_t>(period_ms) * 1000))
                  send_udp(head + std::to_string(i) + "*00\r\n");
          })
    {
    }
    ~relaying()
    {
        on = false;
        sender.join();
    }
};

// Whole lines seen so far.
std::vector<std::string> lines_seen(receiver_watch &watch)
{
    std::lock_guard<std::mutex> hold(watch.lock);
    std::vector<std::string> whole;
    for (auto &line : watch.lines)
        whole.push_back(line.first);
    return whole;
}

// Every one of `sent` has reached the device (whole, or not at all).
bool all_came(receiver_watch &watch, const std::vector<std::string> &sent)
{
    return eventually([&] {
        std::vector<std::string> wire = lines_seen(watch);
        for (auto &command : sent)
            if (std::find(wire.begin(), wire.end(), command) == wire.end())
                return usleep(100 * 1000), false;
        return true;
    }, 2 * patience_ms);
}

// Every line on the wire is whole and ends in CR LF: one of `sent`, once, or a relayed line, rebuilt from its
// number to compare.
void expect_whole(const std::vector<std::string> &wire, const std::vector<std::string> &sent)
{
    auto relayed = [&](const std::string &text, const std::string &head) {
        return text == head + std::to_string(atol(text.c_str() + std::min(text.size(), head.size()))) + "*00\r\n";
    };
    std::vector<int> seen(sent.size());
    for (const std::string &text : wire) {
        size_t c = std::find(sent.begin(), sent.end(), text) - sent.begin();
        if (c < sent.size())
            seen[c]++;
        else
            EXPECT_TRUE(relayed(text, "$GPTXT,01,01,02,relayed ") || relayed(text, "$GPTXT,") ||
                        relayed(text, "$GPTXT,join,"))
                << text;
    }
    for (size_t c = 0; c < sent.size(); c++)
        EXPECT_EQ(seen[c], 1) << sent[c];
}

TEST_F(ClientInput, ACommandSentInPiecesWhileLinesAreRelayedReachesTheReceiverWhole)
{
    ASSERT_GT(started_with_receiver({"-s", "-w"}), 0);
    int writer = client();
    ASSERT_GE(writer, 0);
    int on = 1;
    ASSERT_EQ(setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0); // each send its own segment
    // Commands in segments 80 ms apart, cut in different places; then a burst whose read ends inside a line
    // while the line before waits for its turn on the device.
    const std::string long_one = "$PMTK314,0,1,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0*29\r\n";
    const struct { std::vector<std::string> pieces; int gap_ms; } rows[] = {
        {{"$PMTK000*32\r\n", "$PMTK101*32\r\n$PMTK22", "0,1000*1F\r\n"}, 35}, // the slot is free: the first goes in
        {{long_one.substr(0, 47), long_one.substr(47)}, 80},            // before the checksum
        {{"$PMTK300,1000,0,0,0,0*1C\r", "\n"}, 80},                      // between CR and LF
        {{"$PMTK251,38400*27", "\r\n"}, 80},                             // before the line end
    };
    std::vector<std::string> commands;
    for (auto &row : rows) {
        std::string all;
        for (auto &piece : row.pieces)
            all += piece;
        for (auto &command : lines_of(all))
            commands.push_back(command);
    }
    // Twenty lines a second, more than the line carries at 4800 baud, all the while: client text waits for its
    // share of the line, but comes, and a relayed line would show where a client's line was cut.
    receiver_watch line(gps);
    std::optional<relaying> relay;
    relay.emplace(50, "$GPTXT,01,01,02,relayed ");
    ASSERT_TRUE(eventually([&] { return line.seen().find("relayed") != std::string::npos; }));
    for (auto &row : rows) {
        for (auto &piece : row.pieces) {
            EXPECT_TRUE(send_text(writer, piece));
            usleep(row.gap_ms * 1000);
        }
        usleep(300 * 1000);
    }
    EXPECT_TRUE(all_came(line, commands));
    relay.reset();
    line.stop();
    expect_whole(lines_seen(line), commands);

    // The receiver unplugged and plugged back between the pieces of a line: what the client sent meanwhile
    // waited in the socket, and is gathered before the line's head is judged.
    sockaddr_in own;
    socklen_t own_length = sizeof own;
    ASSERT_EQ(getsockname(writer, reinterpret_cast<sockaddr *>(&own), &own_length), 0);
    ASSERT_TRUE(send_text(writer, "$PMTK22"));
    ASSERT_TRUE(eventually([&] { // the daemon has read it
        for (const tcp_socket_row &row : tcp_sockets())
            if (row.local_port == tcp_port && row.remote_port == ntohs(own.sin_port))
                return row.unread == 0;
        return false;
    }));
    unplug_receiver(&gps);
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd"));
    ASSERT_TRUE(send_text(writer, "0,1000*1F\r\n"));
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    receiver_watch after(gps);
    relay.emplace(50, "$GPTXT,01,01,02,relayed ");
    EXPECT_TRUE(all_came(after, {"$PMTK220,1000*1F\r\n"}));
    relay.reset();
    after.stop();
    expect_whole(lines_seen(after), {"$PMTK220,1000*1F\r\n"});
}

// A client's line goes in pieces only where the client paused inside it: not because its own lines before it
// took long to hand over, nor because it crossed the end of one read. Relayed lines three a second show a cut.
TEST_F(ClientInput, ALineAfterALongRunOfTheClientsOwnLinesReachesTheReceiverWhole)
{
    // The line to be cut is long: its head takes longer on the line than relayed lines are apart, so that when
    // it goes alone a relayed line lands in it.
    auto command = [](int i, size_t length) {
        std::string line = "$PCMD," + std::to_string(i) + ",";
        line.resize(length - 5, 'x');
        return line + "*00\r\n";
    };
    std::string run, send_of_6000;
    for (int i = 0; i < 25; i++)
        run += command(i, 14);
    run += command(25, 200);
    for (int i = 0; send_of_6000.size() < 6000; i++) // lines of 60, and one across byte 4096
        send_of_6000 += command(i, send_of_6000.size() == 3000 ? 2000 : 60);
    const struct { const char *baud; std::vector<std::string> pieces; } rows[] = {
        {"4800", {run.substr(0, run.size() - 20), run.substr(run.size() - 20)}}, // the rest 50 ms later
        {"115200", {send_of_6000}},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.baud);
        ASSERT_GT(started_with_receiver({"-s", "-w", "-b", row.baud}), 0);
        int writer = client();
        ASSERT_GE(writer, 0);
        receiver_watch line(gps);
        std::optional<relaying> relay;
        relay.emplace(333, "$GPTXT,"); // short: a line of the client's never waits for its turn 100 ms
        ASSERT_TRUE(eventually([&] { return line.seen().find("$GPTXT,0*") != std::string::npos; }));
        std::string all;
        for (auto &piece : row.pieces) {
            EXPECT_TRUE(send_text(writer, piece));
            all += piece;
            usleep(50 * 1000);
        }
        EXPECT_TRUE(all_came(line, lines_of(all)));
        relay.reset();
        line.stop();
        expect_whole(lines_seen(line), lines_of(all));
    }
}

} // namespace
