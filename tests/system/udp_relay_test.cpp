// SPDX-License-Identifier: BSD-2-Clause
// The daemon as a UDP-to-broadcast relay: what comes in goes out on every broadcast interface, exactly.
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using UdpRelay = DaemonTest;

TEST_F(UdpRelay, DatagramsAreBroadcastByteExact)
{
    // Rows with the same arguments share one daemon, in order; "" relayed is nothing. How datagrams are cut
    // and joined is the line assembly's unit tests' business; here a sentence, and a text near the longest.
    struct { const char *what; std::vector<std::string> args; int port; std::string datagram, relayed; } rows[] = {
        {"a sentence", {}, udp_in_port, as_sent(example_gga), example_gga},
        {"a long text", {}, udp_in_port, "$GPTXT," + std::string(8100, 'y') + "*00\r\n",
         "$GPTXT," + std::string(8100, 'y') + "*00\n"},
        {"-u drops the UDP input", {"-u"}, udp_in_port, "$GPGGA,dropped\n", ""},
        // 70000 is 4464 and 76637 is 11101 once cut to 16 bits.
        {"ports keep their low 16 bits", {"-i", "70000", "-o", "76637", "-t", "0"}, 4464, "$GPGGA,low bits\n",
         "$GPGGA,low bits\n"},
    };
    std::vector<std::string> args_now = {"none yet"};
    ASSERT_GE(catcher(), 0);
    for (auto &row : rows)
        [&] { // a failed check ends its own row only
            SCOPED_TRACE(row.what);
            if (row.args != args_now) {
                ASSERT_EQ(started(row.args), -1);
                args_now = row.args;
            }
            send_udp(row.datagram, row.port);
            EXPECT_EQ(broadcast(row.relayed.empty() ? 2000 : patience_ms), row.relayed);
        }();
}

TEST_F(UdpRelay, DatagramsTakenTogetherAreRelayedAsIfEachHadComeAlone)
{
    // Every way a datagram can end up, 50 times over: whole, in two or three pieces, too short, a fragment
    // that an empty datagram discards, two sentences in one; a stray fragment before a sentence, sentences
    // without their line end, a NUL before the line end, a run of CRs, texts longer than a pipe takes at
    // once among short ones, and eight datagrams of two texts each, more texts than one batch holds. "#" stands
    // for the round, "CS" for the checksum.
    const std::string many = "$GPTXT,many,#," + std::string(1500, 'm') + "*00\r\n";
    const std::string pair = "$GPTXT,first,#*00\r\n$GPTXT,then,#*CS";
    const struct { std::vector<std::string> datagrams; std::string relayed; } shapes[] = {
        {{"$GPTXT,whole,#*00\r\n"}, "$GPTXT,whole,#*00\n"},
        {{"$GPTXT,tw", "o,#*00\r\n"}, "$GPTXT,two,#*00\n"},
        {{"$GPT", "XT,three,", "#*00\r\n"}, "$GPTXT,three,#*00\n"},
        {{"abc\r\n"}, ""},
        {{"$GPTXT,lost,#", ""}, ""},
        {{"$GPTXT,a,#*00\r\n$GPTXT,b,#*00\r\n"}, "$GPTXT,a,#*00\r\n$GPTXT,b,#*00\n"},
        {{"$GPRMC,garbage", as_sent(example_gga)}, example_gga},
        {{"$GPTXT,bare,#*CS", "!AIVDM,bare,#*CS"}, "$GPTXT,bare,#*CS\n!AIVDM,bare,#*CS\n"},
        {{"$GPTXT,cold,#" + std::string(12, '\0') + "  \r\n", "$GPTXT,warm,#*00\r\n"}, "$GPTXT,warm,#*00\n"},
        {{"$GPTXT,crs,#*00\r\r\n"}, "$GPTXT,crs,#*00\r\n"},
        {{many + many + many + many}, many + many + many + many.substr(0, many.size() - 2) + "\n"},
        {std::vector<std::string>(8, pair), [] {
             std::string each;
             for (int i = 0; i < 8; i++)
                 each += "$GPTXT,first,#*00\n$GPTXT,then,#*CS\n";
             return each;
         }()},
    };
    auto numbered = [](std::string text, int n) {
        for (size_t at; (at = text.find('#')) != std::string::npos;)
            text.replace(at, 1, std::to_string(n));
        for (size_t at; (at = text.find("*CS")) != std::string::npos;) {
            unsigned sum = 0;
            for (size_t i = text.find_last_of("$!", at) + 1; i < at; i++)
                sum ^= static_cast<unsigned char>(text[i]);
            char hex[3];
            snprintf(hex, sizeof hex, "%02X", sum);
            text.replace(at + 1, 2, hex);
        }
        return text;
    };
    // No report of an earlier test in this sandbox may stand for one this test's lines wrote.
    for (const char *report : {"/tmp/nmea.status", "/tmp/sbd10.status"})
        unlink(report);
    ASSERT_EQ(started(), -1);
    std::string stream;
    int reader = client(&stream);
    ASSERT_GE(reader, 0);
    ASSERT_GE(catcher(), 0);
    // Stopped, the daemon finds them all waiting and takes several at a time, far more than one receive holds.
    ASSERT_TRUE(stop_all_threads(*d));
    udp_sender sender;
    std::string expected;
    for (int n = 0; n < 50; n++)
        for (auto &shape : shapes) {
            for (auto &datagram : shape.datagrams)
                ASSERT_TRUE(sender.send(numbered(datagram, n)));
            expected += numbered(shape.relayed, n);
        }
    ASSERT_TRUE(sender.send("$GPTXT,end*00\r\n"));
    expected += "$GPTXT,end*00\n";
    ASSERT_EQ(kill(d->pid, SIGCONT), 0);
    ASSERT_TRUE(read_until(reader, &stream, "$GPTXT,end*00\n"));
    EXPECT_EQ(stream.substr(stream.find(expected.substr(0, 20))), expected);
    std::string broadcasts;
    while (broadcasts.size() < expected.size() && !(broadcasts += broadcast()).empty()) {
    }
    EXPECT_EQ(broadcasts, expected);
    // No RMC text was relayed: the stray one, glued to a GGA sentence, would have written the reports.
    EXPECT_EQ(report_names(), "");
}

TEST_F(UdpRelay, EveryBroadcastEntryButLoopbackGetsACopyAndANetworkThatGoesDownCostsOnlyItsOwn)
{
    // A second network, listed after the first: once the first goes down its copy fails, as when a boat's
    // Wi-Fi drops, and the wired one must still get every line.
    ASSERT_EQ(system("ip link add w0 type veth peer name w1 && ip addr add 198.51.101.1/24 brd + dev w0 && "
                     "ip link set w0 up && ip link set w1 up"),
              0);
    ASSERT_GE(catcher(), 0);
    long long start = now_ms();
    ASSERT_EQ(started(), -1);
    // Without traffic, a timeout is said every 1.5 s.
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
    size_t first = stdout_of(*d).find("POLL timeout");
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, first + 1));
    EXPECT_GE(now_ms() - start, 2000); // two cycles, with room for scheduling
    EXPECT_LE(now_ms() - start, 3000 + patience_ms);

    send_udp("$GPTXT,first\n");
    ASSERT_TRUE(wait_stdout(*d, "$GPTXT,first\n"));
    std::string out = stdout_of(*d);
    // The link-layer and IPv6 entries of the veth pairs carry the broadcast flag.
    EXPECT_NE(out.find(" - 0.0.0.0/0.0.0.0/0.0.0.0 \n"), std::string::npos) << out;
    EXPECT_EQ(out.find("lo - "), std::string::npos) << out;
    EXPECT_EQ(out.find("127.255.255.255"), std::string::npos) << out;
    // Each copy is the whole line; none goes to a loopback broadcast address.
    std::string data, to;
    int copies = 0;
    while (catch_datagram(catcher(), &data, &to, 1000)) {
        EXPECT_EQ(data, "$GPTXT,first\n");
        EXPECT_NE(to, "127.255.255.255");
        copies++;
    }
    EXPECT_GE(copies, 3);

    ASSERT_EQ(system("ip link set v0 down"), 0);
    send_udp("$GPTXT,wired*00\r\n");
    while (catch_datagram(catcher(), &data, &to) && to != "198.51.101.255") {
    }
    EXPECT_EQ(to, "198.51.101.255");
    EXPECT_EQ(data, "$GPTXT,wired*00\n");
    // As it was for the next test in this process.
    EXPECT_EQ(system("ip link del w0 && ip link set v0 up"), 0);
}

TEST_F(UdpRelay, ATakenPortIsReportedAndCostsOnlyWhatUsesIt)
{
    // Threads left: main, the relay, the progress writer, the counters thread and the listener, or not.
    const struct { int type, port; const char *said; int threads; } rows[] = {
        {SOCK_DGRAM, udp_in_port, "Unable to bind UDP input port 10101: Address already in use\n", 5},
        {SOCK_STREAM, tcp_port, "Unable to listen on TCP port 11102: Address already in use\n", 4},
    };
    for (auto &row : rows)
        [&] { // a failed check ends its own row only
            SCOPED_TRACE(row.said);
            if (d)
                stop_daemon(*d); // it holds the ports
            int taken = occupy_port(row.type, row.port);
            ASSERT_GE(taken, 0);
            start();
            ASSERT_TRUE(wait_stderr(*d, row.said)) << stderr_of(*d);
            ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
            EXPECT_TRUE(running(*d));
            // A sanitizer may run threads of its own.
            if (!sanitized) {
                EXPECT_TRUE(eventually([&] { return count_threads(d->pid) == row.threads; }))
                    << count_threads(d->pid);
            }
            close(taken);
        }();
    // With only the TCP port taken the relay goes on.
    ASSERT_GE(catcher(), 0);
    send_udp("$GPTXT,no clients*00\r\n");
    EXPECT_EQ(broadcast(), "$GPTXT,no clients*00\n");
}

} // namespace
