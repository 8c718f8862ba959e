// TCP clients of the real daemon: every client gets every line relayed after
// it joined, in order and whole, whatever the other clients do.
#include <algorithm>
#include <iostream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_helpers.h"

namespace {

// The daemon serves this many clients at once.
constexpr int client_slots = 100;

// The relayed lines of a stream, join lines left out.
std::vector<std::string> relayed_lines(const std::string &stream)
{
    std::vector<std::string> kept;
    for (auto &line : lines_of(stream))
        if (!is_join_line(line))
            kept.push_back(line);
    return kept;
}

std::string numbered(int n)
{
    return "$GPGGA,12351" + std::to_string(n % 10) + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M," +
           std::to_string(n) + ",*47";
}

bool running(daemon_process &d)
{
    int status;
    return waitpid(d.pid, &status, WNOHANG) == 0;
}

TEST(TcpClients, ClientsComeAndGoWithoutDisturbingTheOthers)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    std::string a_stream, b_stream, c_stream;
    int a = connect_when_listening(tcp_port);
    ASSERT_GE(a, 0);
    ASSERT_TRUE(join_relay(a, &a_stream));
    ASSERT_TRUE(relay_to(a, &a_stream, numbered(1)));

    int b = connect_tcp(tcp_port);
    ASSERT_TRUE(join_relay(b, &b_stream));
    ASSERT_TRUE(relay_to(b, &b_stream, numbered(2)));

    int c = connect_tcp(tcp_port);
    ASSERT_TRUE(join_relay(c, &c_stream));
    ASSERT_TRUE(relay_to(c, &c_stream, numbered(3)));
    int fds_with_abc, threads_with_abc;
    steady_counts(d->pid, &fds_with_abc, &threads_with_abc);

    // B reads everything and leaves while lines keep coming. The first send
    // to it after it has gone may still succeed; a later one fails.
    ASSERT_TRUE(read_until(b, &b_stream, numbered(3) + "\n"));
    close(b);
    for (int n = 4; n <= 20; n++) {
        ASSERT_TRUE(relay_to(a, &a_stream, numbered(n))) << n;
        ASSERT_TRUE(read_until(c, &c_stream, numbered(n) + "\n")) << n;
    }
    ASSERT_TRUE(running(*d)) << "the daemon ended when a client left";
    EXPECT_TRUE(counts_settle(d->pid, fds_with_abc - 3, threads_with_abc - 1, a)) << "B's pipe, socket and thread stay";

    std::vector<std::string> a_expected, c_expected;
    for (int n = 1; n <= 20; n++) {
        a_expected.push_back(numbered(n) + "\n");
        if (n >= 3)
            c_expected.push_back(numbered(n) + "\n");
    }
    auto a_lines = relayed_lines(a_stream);
    a_lines.resize(std::min(a_lines.size(), a_expected.size())); // settle lines may follow
    EXPECT_EQ(a_lines, a_expected);
    // C got nothing relayed before it connected: its stream opens with its join.
    EXPECT_TRUE(is_join_line(c_stream)) << c_stream.substr(0, 80);
    EXPECT_EQ(relayed_lines(c_stream), c_expected);
    EXPECT_EQ(relayed_lines(b_stream), std::vector<std::string>({numbered(2) + "\n", numbered(3) + "\n"}));
    close(a);
    close(c);
}

TEST(TcpClients, AHundredClientsAllReceiveTheSameLinesAndTheHundredAndFirstIsClosed)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    std::vector<int> clients;
    std::vector<std::string> streams(client_slots);
    // One after another: the listen backlog is short.
    for (int i = 0; i < client_slots; i++) {
        int client = connect_when_listening(tcp_port);
        ASSERT_GE(client, 0) << i;
        ASSERT_TRUE(join_relay(client, &streams[static_cast<size_t>(i)])) << i;
        clients.push_back(client);
    }
    const std::vector<std::string> lines = {numbered(1) + "\n", numbered(2) + "\n", numbered(3) + "\n"};
    for (auto &line : lines)
        send_udp(udp_in_port, line);
    for (int i = 0; i < client_slots; i++) {
        std::string &stream = streams[static_cast<size_t>(i)];
        ASSERT_TRUE(read_until(clients[static_cast<size_t>(i)], &stream, lines.back())) << i;
        EXPECT_EQ(relayed_lines(stream), lines) << i;
    }
    int fds_full, threads_full;
    steady_counts(d->pid, &fds_full, &threads_full);

    // No slot for the 101st: it is closed at once, and nothing of it stays.
    int extra = connect_tcp(tcp_port);
    ASSERT_GE(extra, 0);
    std::string extra_got;
    EXPECT_TRUE(closed_by_daemon(extra, &extra_got));
    EXPECT_EQ(extra_got, "");
    close(extra);
    EXPECT_TRUE(counts_settle(d->pid, fds_full, threads_full, clients.back()));

    // The first client leaves; the next connection is served in its place.
    close(clients.front());
    EXPECT_TRUE(counts_settle(d->pid, fds_full - 3, threads_full - 1, clients.back()));
    int late = connect_tcp(tcp_port);
    std::string late_stream;
    ASSERT_TRUE(join_relay(late, &late_stream));
    send_udp(udp_in_port, numbered(4) + "\n");
    EXPECT_TRUE(read_until(late, &late_stream, numbered(4) + "\n"));
    for (size_t i = 1; i < clients.size(); i++)
        EXPECT_TRUE(read_until(clients[i], &streams[i], numbered(4) + "\n")) << i;
    for (size_t i = 1; i < clients.size(); i++)
        close(clients[i]);
    close(late);
}

// A long text, over the pipe's atomic write size, every so often among the
// ordinary sentences.
std::string test_text(int n)
{
    if (n % 50 == 49)
        return "$GPTXT,long," + std::to_string(n) + "," + std::string(6000, 'x') + "*00";
    return numbered(n);
}

TEST(TcpClients, AStalledClientHoldsUpNeitherTheRelayNorTheOthers)
{
    REQUIRE_SANDBOX();
    // Loopback send buffers would otherwise grow to megabytes and hide the stall.
    ASSERT_TRUE(write_sysctl("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    auto d = start_daemon({}, true);
    int stalled = -1;
    for (long long deadline = now_ms() + patience_ms; stalled < 0 && now_ms() < deadline;)
        stalled = connect_small_window(tcp_port, 4096);
    ASSERT_GE(stalled, 0);
    std::string stalled_stream, live_stream;
    ASSERT_TRUE(join_relay(stalled, &stalled_stream));
    int live = connect_tcp(tcp_port);
    ASSERT_TRUE(join_relay(live, &live_stream));
    live_stream.clear();

    // The stalled client reads nothing from here on. Each text is relayed
    // only once the previous one has reached the live client, so a relay held
    // up by the stalled one would show at once.
    const int count = 3000;
    long long slowest = 0;
    for (int n = 0; n < count; n++) {
        std::string line;
        long long sent = now_ms();
        send_udp(udp_in_port, test_text(n) + "\r\n");
        ASSERT_TRUE(next_line(live, &live_stream, &line)) << "text " << n << " did not arrive";
        slowest = std::max(slowest, now_ms() - sent);
        ASSERT_EQ(line, test_text(n) + "\n");
    }
    std::cout << "[ measured ] slowest of " << count << " texts to the live client: " << slowest << " ms\n";

    // Now it reads again: whatever it gets are whole texts, in order, with the
    // ones it missed left out whole; then it is fed again as before.
    const std::string resumed = "$GPTXT,resumed*00";
    long long deadline = now_ms() + patience_ms;
    bool back = false;
    while (!back && now_ms() < deadline) {
        send_udp(udp_in_port, resumed + "\r\n");
        back = read_until(stalled, &stalled_stream, resumed + "\n", 200);
    }
    ASSERT_TRUE(back);
    int expected_next = 0, missed = 0, received = 0;
    for (auto &line : lines_of(stalled_stream)) {
        if (is_join_line(line) || line == resumed + "\n")
            continue;
        // Find which text it is; it must be one of those sent, later than the last.
        int n = expected_next;
        while (n < count && test_text(n) + "\n" != line)
            n++;
        ASSERT_LT(n, count) << "not a whole text, or out of order: " << line.substr(0, 100);
        missed += n - expected_next;
        expected_next = n + 1;
        received++;
    }
    missed += count - expected_next;
    std::cout << "[ measured ] the stalled client got " << received << " texts and missed " << missed << "\n";
    EXPECT_GT(received, 0);
    EXPECT_GT(missed, 0) << "the stall was never felt; the test proves nothing";
    EXPECT_TRUE(running(*d));
    close(stalled);
    close(live);
}

TEST(TcpClients, ALongTextReachesAReadingClientWhole)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    int client = connect_when_listening(tcp_port);
    std::string stream;
    ASSERT_TRUE(join_relay(client, &stream));
    stream.clear();
    // Near the longest text the daemon relays, well over the pipe's atomic size.
    const std::string text = "$GPTXT," + std::string(8100, 'y') + "*00";
    ASSERT_TRUE(relay_to(client, &stream, text));
    EXPECT_TRUE(stream == text + "\n") << stream.size() << " bytes";
    close(client);
}

} // namespace
