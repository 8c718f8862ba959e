// Text that TCP clients send goes to the receiver on the serial line, one
// received chunk at a time, and only while a receiver is there.
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "client_helpers.h"

namespace {

// Starts the daemon with a pty at /dev/GPS and waits until it has opened it.
std::unique_ptr<daemon_process> start_with_receiver(fake_receiver *gps)
{
    if (!plug_receiver("/dev/GPS", gps))
        return nullptr;
    auto d = start_daemon({"-s"});
    if (!wait_stdout(*d, "ttyfd = ") || stdout_of(*d).find("ttyfd = -1") != std::string::npos)
        return nullptr;
    return d;
}

// A client that has joined the relay.
int joined_client()
{
    int client = connect_when_listening(tcp_port);
    std::string stream;
    if (client >= 0 && !join_relay(client, &stream)) {
        close(client);
        return -1;
    }
    return client;
}

bool send_text(int client, const std::string &text)
{
    return send(client, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// The device turns each line feed into carriage return and line feed.
std::string on_the_line(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// Relays a line, after which the client's text must be on the line, and it alone.
void expect_only_on_the_line(fake_receiver *gps, const std::string &text)
{
    send_udp(udp_in_port, "$GPTXT,next*00\r\n");
    std::string line;
    ASSERT_TRUE(read_receiver_until(gps, &line, on_the_line(text)));
    // Relayed lines are not written back without -w: only the client's text.
    EXPECT_EQ(line, on_the_line(text));
}

TEST(ClientInput, TextFromAClientReachesTheReceiverByTheNextRelayedLine)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    auto d = start_with_receiver(&gps);
    ASSERT_NE(d, nullptr);
    int client = joined_client();
    ASSERT_GE(client, 0);

    const std::string command = "$PMTK220,1000*1F\n";
    ASSERT_TRUE(send_text(client, command));
    expect_only_on_the_line(&gps, command);
    close(client);
    unplug_receiver(&gps);
}

TEST(ClientInput, TwoClientsWritingAtOnceGiveTwoWholeChunks)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    auto d = start_with_receiver(&gps);
    ASSERT_NE(d, nullptr);
    int first = joined_client(), second = joined_client();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);

    // Each chunk takes a few hundred milliseconds on the paced line, so the
    // second writer has to wait for the first, whichever goes first.
    const std::string a = "$PAAAA," + std::string(500, 'a') + "*00\n";
    const std::string b = "$PBBBB," + std::string(500, 'b') + "*00\n";
    std::thread other([&] { send_text(second, b); });
    ASSERT_TRUE(send_text(first, a));
    other.join();
    send_udp(udp_in_port, "$GPTXT,next*00\r\n");

    std::string line;
    size_t total = on_the_line(a).size() + on_the_line(b).size();
    long long deadline = now_ms() + patience_ms;
    while (line.size() < total && now_ms() < deadline)
        read_receiver_until(&gps, &line, "\n\n", 100); // never there; reads what comes
    EXPECT_TRUE(line == on_the_line(a) + on_the_line(b) || line == on_the_line(b) + on_the_line(a)) << line;
    close(first);
    close(second);
    unplug_receiver(&gps);
}

TEST(ClientInput, WithoutAReceiverClientTextIsLeftUnreadAndNothingSpins)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    int client = joined_client();
    ASSERT_GE(client, 0);

    // Were the daemon reading (and dropping) it, this would never fill up.
    char block[65536] = {0};
    size_t sent = 0;
    long long deadline = now_ms() + patience_ms;
    bool full = false;
    while (!full && sent < (256u << 20) && now_ms() < deadline) {
        ssize_t n = send(client, block, sizeof block, MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else
            full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    ASSERT_TRUE(full) << sent << " bytes were taken";
    // A reader, however slow, would make room again; none comes. And text
    // waiting unread wakes nothing: the daemon sits idle meanwhile.
    double cpu_before = cpu_seconds(d->pid);
    pollfd room = {client, POLLOUT, 0};
    EXPECT_EQ(poll(&room, 1, 1000), 0) << "the daemon took client text without a receiver";
    EXPECT_LT(cpu_seconds(d->pid) - cpu_before, 0.3) << "CPU seconds used in one idle second";

    std::string stream;
    ASSERT_TRUE(relay_to(client, &stream, "$GPTXT,still relaying*00"));
    close(client);
}

TEST(ClientInput, TextSentBeforeTheReceiverIsPluggedInWaitsForIt)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({"-s"});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    int client = joined_client();
    ASSERT_GE(client, 0);
    const std::string command = "$PMTK314,0,1,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0*28\n";
    ASSERT_TRUE(send_text(client, command));
    std::string stream;
    ASSERT_TRUE(relay_to(client, &stream, "$GPTXT,no receiver yet*00"));
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used in one idle second";

    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_TRUE(wait_stdout(*d, "Opened ttyfd = "));
    expect_only_on_the_line(&gps, command);
    close(client);
    unplug_receiver(&gps);
}

TEST(ClientInput, AClientThatHasStoppedSendingStillReceivesUntilItLeaves)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    auto d = start_with_receiver(&gps);
    ASSERT_NE(d, nullptr);
    int keeper = joined_client();
    ASSERT_GE(keeper, 0);
    int fds_before, threads_before;
    steady_counts(d->pid, &fds_before, &threads_before);
    int client = joined_client();
    ASSERT_GE(client, 0);

    ASSERT_TRUE(send_text(client, "$PLAST,words*00\n"));
    shutdown(client, SHUT_WR);
    std::string stream, line;
    for (int n = 0; n < 5; n++) {
        std::string text = "$GPTXT,after shutdown," + std::to_string(n) + "*00";
        ASSERT_TRUE(relay_to(client, &stream, text)) << n;
    }
    ASSERT_TRUE(read_receiver_until(&gps, &line, "$PLAST,words*00\r\n"));
    // The end of its sending side is seen once, not over and over.
    EXPECT_LT(cpu_used_over(d->pid, 1.0), 0.3) << "CPU seconds used in one idle second";
    ASSERT_TRUE(relay_to(client, &stream, "$GPTXT,still there*00"));

    close(client);
    EXPECT_TRUE(counts_settle(d->pid, fds_before, threads_before, keeper));
    close(keeper);
    unplug_receiver(&gps);
}

} // namespace
