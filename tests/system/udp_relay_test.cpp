// SPDX-License-Identifier: BSD-2-Clause
// The daemon as a UDP-to-broadcast relay: what goes in on the input port
// comes out on every broadcast interface, exactly, with its messages.
#include <sys/socket.h>
#include <sys/wait.h>

#include "harness.h"

namespace {

using UdpRelay = DaemonTest;
using CommandLine = DaemonTest;

const std::string interface_line = "v0 - 198.51.100.1/255.255.255.0/198.51.100.255 \n";

TEST_F(UdpRelay, DatagramsAreBroadcastByteExactAndEchoedAfterTheInterfaceLine)
{
    // Rows with the same arguments share one daemon, in order.
    struct {
        const char *what;
        std::vector<std::string> args;
        int port;
        std::vector<std::string> datagrams;
        std::string relayed; // "" for nothing
    } rows[] = {
        {"a sentence", {}, udp_in_port, {as_sent(example_gga)}, example_gga},
        {"fragments", {}, udp_in_port, {"$GPGGA,1", ",2\r\n"}, "$GPGGA,1,2\n"},
        {"two sentences", {}, udp_in_port, {"$GPGGA,a*00\r\n$GPRMC,b*00\r\n"}, "$GPGGA,a*00\r\n$GPRMC,b*00\n"},
        {"the first too short", {}, udp_in_port, {"abc\r\n", "abcde\n"}, "abcde\n"},
        {"a CR ends it", {}, udp_in_port, {"ABCDE,F\rG"}, "ABCDE,F\n"},
        {"a NUL", {}, udp_in_port, {std::string("$GPNUL,x\0,y\r\n", 13), "\n"}, "$GPNUL,x"},
        {"after a full buffer", {}, udp_in_port, {std::string(9000, 'Z') + "\n", "\n", "$GPAFT,after full\n"},
         "$GPAFT,after full\n"},
        {"-u drops the UDP input", {"-u"}, udp_in_port, {"$GPGGA,dropped\n"}, ""},
        // 70000 is 4464 and 76637 is 11101 once cut to 16 bits.
        {"ports keep their low 16 bits", {"-i", "70000", "-o", "76637", "-t", "0"}, 4464, {"$GPGGA,low bits\n"},
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
            for (auto &datagram : row.datagrams)
                send_udp(datagram, row.port);
            EXPECT_EQ(broadcast(row.relayed.empty() ? 2000 : patience_ms), row.relayed);
            if (row.relayed.empty()) {
                EXPECT_EQ(stdout_of(*d).find("dropped"), std::string::npos);
                return;
            }
            ASSERT_TRUE(wait_stdout(*d, row.relayed));
            std::string out = stdout_of(*d);
            EXPECT_LT(out.find(interface_line), out.find(row.relayed)) << out;
        }();
}

TEST_F(UdpRelay, BroadcastFlagEntriesWithoutIpv4GoToZeroAndLoopbackGetsNothing)
{
    ASSERT_GE(catcher(), 0);
    ASSERT_EQ(started(), -1);
    send_udp("$GPTXT,first\n");
    ASSERT_TRUE(wait_stdout(*d, "$GPTXT,first\n"));
    std::string out = stdout_of(*d);
    // The link-layer and IPv6 entries of the veth pair carry the broadcast flag.
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
    EXPECT_GE(copies, 2);
}

TEST_F(UdpRelay, TimeoutMessagesWithoutTraffic)
{
    ASSERT_EQ(started(), -1);
    long long start = now_ms();
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
    size_t first = stdout_of(*d).find("POLL timeout");
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, first + 1));
    long long two = now_ms() - start;
    EXPECT_GE(two, 2000); // two cycles of 1.5 s, with room for scheduling
    EXPECT_LE(two, 3000 + patience_ms);
}

TEST_F(UdpRelay, ATakenInputPortIsReportedAndTheDaemonRunsOn)
{
    ASSERT_GE(own(occupy_port(SOCK_DGRAM, udp_in_port)), 0);
    start();
    ASSERT_TRUE(wait_stderr(*d, "Unable to bind UDP input port 10101: Address already in use\n"));
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
    EXPECT_TRUE(running(*d));
}

TEST_F(UdpRelay, DaemonModeDetachesSilentlyAndRelays)
{
    ASSERT_GE(catcher(), 0);
    start({"-d"});
    int status = wait_exit(*d);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The detached process keeps relaying; give it time to bind.
    EXPECT_TRUE(eventually([&] {
        send_udp("$GPGGA,detached\n");
        return broadcast(200) == "$GPGGA,detached\n";
    }));
    EXPECT_EQ(stdout_of(*d), "");
    EXPECT_EQ(stderr_of(*d), "");
}

TEST_F(CommandLine, BadCommandLinesSayWhatIsWrongThenUsageAndExitOne)
{
    const std::string usage = "Usage: " + daemon_path() +
                              " [-w] [-u] [-s] [-d] [-i in_udp_port] [-o out_udp_port] [-t out_tcp_port] [-b baud]\n";
    const std::string speed = ": not a supported line speed (110, 300, 1200, 2400, 4800, 9600, 19200, 38400, "
                              "57600 or 115200)";
    const struct {
        std::vector<std::string> args;
        std::string said; // the line before the usage text
    } bad[] = {
        {{"-x"}, "invalid option -- 'x'"},
        {{"-b"}, "option requires an argument -- 'b'"},
        {{"-b", "4801"}, "-b 4801" + speed},
        {{"-b", "fast"}, "-b fast" + speed},
        {{"-i", "0"}, "-i 0: not a UDP port (1 to 65535)"},
        {{"-i", "70000", "-o", "65536"}, "-o 65536: not a UDP port (1 to 65535)"},
        {{"-o", "letters"}, "-o letters: not a UDP port (1 to 65535)"},
    };
    for (auto &c : bad)
        [&] { // a failed check ends its own row only
            std::string line;
            for (auto &arg : c.args)
                line += arg + " ";
            SCOPED_TRACE(line);
            start(c.args);
            int status = wait_exit(*d);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 1);
            wait_stderr(*d, usage, 2000);
            EXPECT_EQ(stderr_of(*d), daemon_path() + ": " + c.said + "\n" + usage);
            EXPECT_EQ(stdout_of(*d).find("ttyfd"), std::string::npos);
        }();
}

} // namespace
