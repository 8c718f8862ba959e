// The daemon as a UDP-to-broadcast relay: what goes in on the input port
// comes out on every broadcast interface, exactly, with its messages.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

namespace {

const std::string interface_line = "v0 - 198.51.100.1/255.255.255.0/198.51.100.255 \n";

TEST(UdpRelay, ALineIsBroadcastByteExactAndEchoedAfterItsInterfaceLine)
{
    REQUIRE_SANDBOX();
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    const std::string line = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
    send_udp(10101, line);
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, line.substr(0, line.size() - 2) + "\n");
    ASSERT_TRUE(wait_stdout(*d, data));
    std::string out = stdout_of(*d);
    size_t echo = out.find(data);
    size_t label = out.find(interface_line);
    ASSERT_NE(label, std::string::npos) << out;
    EXPECT_LT(label, echo);
    close(catcher);
}

TEST(UdpRelay, BroadcastFlagEntriesWithoutIpv4GoToZeroAndLoopbackGetsNothing)
{
    REQUIRE_SANDBOX();
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    send_udp(10101, "$GPTXT,first\n");
    ASSERT_TRUE(wait_stdout(*d, "$GPTXT,first\n"));
    std::string out = stdout_of(*d);
    // The link-layer and IPv6 entries of the veth pair carry the broadcast flag.
    EXPECT_NE(out.find(" - 0.0.0.0/0.0.0.0/0.0.0.0 \n"), std::string::npos) << out;
    EXPECT_EQ(out.find("lo - "), std::string::npos) << out;
    EXPECT_EQ(out.find("127.255.255.255"), std::string::npos) << out;
    // Each copy is the whole line; none goes to a loopback broadcast address.
    std::string data, to;
    int copies = 0;
    while (catch_datagram(catcher, &data, &to, 1000)) {
        EXPECT_EQ(data, "$GPTXT,first\n");
        EXPECT_NE(to, "127.255.255.255");
        copies++;
    }
    EXPECT_GE(copies, 2);
    close(catcher);
}

TEST(UdpRelay, EdgeCasesOfLineAssembly)
{
    REQUIRE_SANDBOX();
    int catcher = open_catcher(11101);
    ASSERT_GE(catcher, 0);
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    struct {
        std::vector<std::string> datagrams;
        std::string relayed;
    } cases[] = {
        {{"$GPGGA,1", ",2\r\n"}, "$GPGGA,1,2\n"},
        {{"$GPGGA,a*00\r\n$GPRMC,b*00\r\n"}, "$GPGGA,a*00\r\n$GPRMC,b*00\n"},
        {{"abc\r\n", "abcde\n"}, "abcde\n"}, // the first is too short
        {{"ABCDE,F\rG"}, "ABCDE,F\n"},
        {{std::string("$GPNUL,x\0,y\r\n", 13), "\n"}, "$GPNUL,x"},
        {{std::string(9000, 'Z') + "\n", "\n", "$GPAFT,after full\n"}, "$GPAFT,after full\n"},
    };
    for (auto &c : cases) {
        for (auto &datagram : c.datagrams)
            send_udp(10101, datagram);
        std::string data;
        ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data)) << c.relayed;
        EXPECT_EQ(data, c.relayed);
    }
    close(catcher);
}

TEST(UdpRelay, TimeoutMessagesWithoutTraffic)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    long long start = now_ms();
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
    size_t first = stdout_of(*d).find("POLL timeout");
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, first + 1));
    long long two = now_ms() - start;
    EXPECT_GE(two, 2000); // two cycles of 1.5 s, with room for scheduling
    EXPECT_LE(two, 3000 + patience_ms);
}

TEST(UdpRelay, DroppedUdpInputWithMinusU)
{
    REQUIRE_SANDBOX();
    int catcher = open_catcher(11101);
    auto d = start_daemon({"-u"});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    send_udp(10101, "$GPGGA,dropped\n");
    std::string data, to;
    EXPECT_FALSE(catch_datagram(catcher, &data, &to, 2000)) << data;
    EXPECT_EQ(stdout_of(*d).find("dropped"), std::string::npos);
    close(catcher);
}

TEST(UdpRelay, PortsKeepTheirLow16Bits)
{
    REQUIRE_SANDBOX();
    // 70000 is 4464 and 76637 is 11101 once cut to 16 bits.
    int catcher = open_catcher(11101);
    auto d = start_daemon({"-i", "70000", "-o", "76637", "-t", "0"});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    send_udp(4464, "$GPGGA,low bits\n");
    std::string data;
    ASSERT_TRUE(catch_datagram_to(catcher, veth_broadcast, &data));
    EXPECT_EQ(data, "$GPGGA,low bits\n");
    close(catcher);
}

TEST(UdpRelay, ATakenInputPortIsReportedAndTheDaemonRunsOn)
{
    REQUIRE_SANDBOX();
    int squatter = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(10101);
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stderr(*d, "Unable to bind UDP input port: Address already in use\n"));
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n"));
    int status;
    EXPECT_EQ(waitpid(d->pid, &status, WNOHANG), 0); // still running
    close(squatter);
}

TEST(UdpRelay, DaemonModeDetachesSilentlyAndRelays)
{
    REQUIRE_SANDBOX();
    int catcher = open_catcher(11101);
    auto d = start_daemon({"-d"});
    int status = wait_exit(*d);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The detached process keeps relaying; give it time to bind.
    std::string data;
    bool relayed = false;
    for (long long deadline = now_ms() + patience_ms; !relayed && now_ms() < deadline;) {
        send_udp(10101, "$GPGGA,detached\n");
        relayed = catch_datagram_to(catcher, veth_broadcast, &data, 200);
    }
    EXPECT_TRUE(relayed);
    EXPECT_EQ(data, "$GPGGA,detached\n");
    EXPECT_EQ(stdout_of(*d), "");
    EXPECT_EQ(stderr_of(*d), "");
    kill_children();
    close(catcher);
}

TEST(CommandLine, BadCommandLinesPrintUsageAndExitOne)
{
    REQUIRE_SANDBOX();
    const std::string usage = "Usage: " + daemon_path() +
                              " [-w] [-u] [-s] [-d] [-i in_udp_port] [-o out_udp_port] [-t out_tcp_port] [-b baud]\n";
    std::vector<std::vector<std::string>> bad = {{"-x"}, {"-b"}, {"-b", "4801"}, {"-b", "fast"},
                                                  {"-i", "0"}, {"-i", "65536"}, {"-o", "letters"}};
    for (auto &args : bad) {
        auto d = start_daemon(args);
        int status = wait_exit(*d);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << args[0];
        wait_stderr(*d, usage, 2000);
        std::string err = stderr_of(*d);
        ASSERT_GE(err.size(), usage.size());
        // Whatever the option scanner says comes first; the usage text ends it.
        EXPECT_EQ(err.substr(err.size() - usage.size()), usage) << args[0];
        if (args[0] != "-x" && !(args[0] == "-b" && args.size() == 1)) {
            EXPECT_EQ(err, usage);
        }
        EXPECT_EQ(stdout_of(*d).find("ttyfd"), std::string::npos);
    }
}

} // namespace
