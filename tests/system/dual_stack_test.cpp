// SPDX-License-Identifier: BSD-2-Clause
// IPv6 and IPv4 on one port each: clients and senders of both families, -a for IPv6 networks, an IPv4 peer
// named as IPv4, a line per client on SIGUSR1, and IPv4 alone where IPv6 sockets cannot be made.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using DualStack = DaemonTest;

// Two IPv6 networks on the veth pair, usable at once (no duplicate address detection).
void add_ipv6_addresses()
{
    ASSERT_EQ(system("ip -6 addr add fd00:1::1/64 dev v0 nodad && ip -6 addr add fd00:2::1/64 dev v0 nodad"), 0);
}

sockaddr_storage address_at(const char *text, int port, socklen_t *length)
{
    sockaddr_storage address = {};
    auto *four = reinterpret_cast<sockaddr_in *>(&address);
    auto *six = reinterpret_cast<sockaddr_in6 *>(&address);
    bool ipv6 = inet_pton(AF_INET6, text, &six->sin6_addr) == 1;
    if (!ipv6)
        inet_pton(AF_INET, text, &four->sin_addr);
    address.ss_family = ipv6 ? AF_INET6 : AF_INET;
    four->sin_port = htons(static_cast<uint16_t>(port)); // where sin6_port lies too
    *length = ipv6 ? sizeof *six : sizeof *four;
    return address;
}

// A TCP client bound to `from` before it connects to the daemon's port at that same address, or a
// datagram from there to the UDP input; -1 or false on failure.
int connect_from(const char *from)
{
    socklen_t length;
    sockaddr_storage address = address_at(from, 0, &length);
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
    address = address_at(from, tcp_port, &length);
    if (!bound || connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_from(const char *from, const std::string &data)
{
    socklen_t length;
    sockaddr_storage address = address_at(from, udp_in_port, &length);
    int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool sent = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&address), length) ==
                static_cast<ssize_t>(data.size());
    close(fd);
    return sent;
}

int own_port(int fd)
{
    sockaddr_storage own;
    socklen_t length = sizeof own;
    getsockname(fd, reinterpret_cast<sockaddr *>(&own), &length);
    return ntohs(reinterpret_cast<sockaddr_in *>(&own)->sin_port); // where sin6_port lies too
}

bool send_text(int client, const std::string &text)
{
    return send(client, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

TEST_F(DualStack, ClientsAndSendersOfBothFamiliesShareOnePortEach)
{
    start();
    add_ipv6_addresses();
    const char *const froms[] = {"127.0.0.1", "::1", "fd00:1::1"};
    std::vector<int> clients;
    for (const char *from : froms) {
        clients.push_back(own(from == froms[0] ? connect_when_listening() : connect_from(from)));
        ASSERT_TRUE(join(clients.back())) << from;
    }
    for (const char *sender : {"::1", "fd00:1::1", "127.0.0.1"}) {
        std::string line = std::string("$GPTXT,from ") + sender + "*00\n";
        ASSERT_TRUE(send_from(sender, as_sent(line)));
        for (size_t n = 0; n < clients.size(); n++) {
            std::string received;
            EXPECT_TRUE(read_until(clients[n], &received, line)) << sender << " to " << froms[n];
        }
    }
}

// From gpsfanout(8): with -a only the named networks write, of either family, loopback too; the others read,
// and their text is discarded, counted, and said once per client, an IPv4 one named as IPv4.
TEST_F(DualStack, WritersAreNamedNetworksOfEitherFamilyLoopbackOnlyWhenNamed)
{
    add_ipv6_addresses();
    const char *const froms[] = {"fd00:1::1", "fd00:2::1", "::1", "127.0.0.1"};
    const struct { std::vector<std::string> named; std::vector<bool> writes; } rows[] = {
        {{"fd00:1::/64"}, {true, false, false, false}},
        {{"fd00:1::/64", "::1"}, {true, false, true, false}},
        {{"127.0.0.1"}, {false, false, false, true}},
    };
    for (auto &row : rows) {
        std::vector<std::string> args = {"-s"};
        for (const std::string &network : row.named)
            args.insert(args.end(), {"-a", network});
        SCOPED_TRACE(args.back());
        ASSERT_GT(started_with_receiver(args), 0);
        ASSERT_TRUE(listening_on(tcp_port));
        std::vector<int> clients;
        for (const char *from : froms) {
            clients.push_back(own(connect_from(from)));
            ASSERT_TRUE(join(clients.back())) << from;
        }
        // Each sends twice; the readers' texts are counted before the second goes.
        std::string expected, at_receiver;
        long discarded = 0;
        for (int round = 0; round < 2; round++) {
            for (size_t n = 0; n < clients.size(); n++) {
                std::string command = "$PGFTS," + std::to_string(round) + "," + std::to_string(n) + "*00\n";
                ASSERT_TRUE(send_text(clients[n], command));
                if (row.writes[n]) {
                    EXPECT_TRUE(read_until(gps.master, &at_receiver, on_the_line(command))) << froms[n];
                    expected += on_the_line(command);
                } else {
                    discarded += static_cast<long>(command.size());
                }
            }
            ASSERT_TRUE(eventually([&] {
                return value_of(nth(said_on_request(*d, 0), 0), "client_bytes_discarded") == std::to_string(discarded);
            }));
        }
        // A writer's last line ends it: nothing of the readers' came before.
        size_t writer = std::find(row.writes.begin(), row.writes.end(), true) - row.writes.begin();
        ASSERT_TRUE(send_text(clients[writer], "$PGFTS,end*00\n"));
        ASSERT_TRUE(read_until(gps.master, &at_receiver, on_the_line("$PGFTS,end*00\n")));
        std::vector<std::string> got = lines_of(at_receiver), wanted = lines_of(expected + on_the_line("$PGFTS,end*00\n"));
        std::sort(got.begin(), got.end());
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(got, wanted);
        std::string err = stderr_of(*d);
        for (size_t n = 0; n < clients.size(); n++) {
            const std::string said = std::string("Client ") + froms[n] + " may not write to the receiver (-a): its text is discarded\n";
            size_t first = err.find(said);
            EXPECT_EQ(first == std::string::npos, row.writes[n]) << froms[n] << "\n" << err;
            EXPECT_TRUE(first == std::string::npos || err.find(said, first + 1) == std::string::npos) << err;
            EXPECT_EQ(err.find("::ffff:"), std::string::npos) << err;
        }
    }
}

// On SIGUSR1 a line per client follows the counters line, in the order they connected; each key is checked
// against what the test did.
TEST_F(DualStack, EachClientHasALineOnRequest)
{
    ASSERT_GT(started_with_receiver({"-s", "-a", "127.0.0.1", "-a", veth_address}), 0);
    ASSERT_TRUE(listening_on(tcp_port));
    struct seen { const char *from; int fd; int port; long long joined_ms; std::string received; };
    std::vector<seen> clients = {{"127.0.0.1", -1, 0, 0, ""}, {"::1", -1, 0, 0, ""}, {veth_address, -1, 0, 0, ""}};
    for (seen &c : clients) {
        c.joined_ms = now_ms();
        c.fd = own(connect_from(c.from));
        c.port = own_port(c.fd);
        ASSERT_TRUE(join(c.fd, &c.received)) << c.from;
        if (&c == &clients[0]) // the first has been served for over a second when asked
            eventually([&] { return now_ms() - c.joined_ms > 1100; });
    }
    const std::string command = "$PMTK220,1000*1F\n";
    ASSERT_TRUE(send_text(clients[1].fd, command)); // the reader's, discarded
    ASSERT_TRUE(eventually([&] { return value_of(nth(said_on_request(*d, 3), 2), "discarded_bytes") == "17"; }));
    const std::string last = "$GPTXT,last*00\n";
    send_udp(as_sent(last));
    for (seen &c : clients)
        ASSERT_TRUE(read_until(c.fd, &c.received, last)) << c.from;
    std::vector<std::string> said = said_on_request(*d, 3);
    ASSERT_EQ(said.size(), 4u);
    EXPECT_EQ(said[0].compare(0, 10, "counters: "), 0);
    EXPECT_EQ(value_of(said[0], "clients"), "3");
    for (size_t n = 0; n < clients.size(); n++) {
        const std::string &line = said[n + 1];
        SCOPED_TRACE(line);
        EXPECT_LT(line.size(), 200u);
        ASSERT_EQ(line.compare(0, 8, "client: "), 0);
        std::string order;
        for (size_t at = 7; at != std::string::npos; at = line.find(' ', at + 1))
            order += line.substr(at + 1, line.find('=', at) - at - 1) + " ";
        EXPECT_EQ(order, "address port up_s sent_bytes drop_texts may_write discarded_bytes ");
        EXPECT_EQ(value_of(line, "address"), clients[n].from);
        EXPECT_EQ(value_of(line, "port"), std::to_string(clients[n].port));
        long long up_s = atoll(value_of(line, "up_s").c_str());
        EXPECT_LE(up_s, (now_ms() - clients[n].joined_ms) / 1000 + 1);
        EXPECT_GE(up_s, n == 0 ? 1 : 0);
        EXPECT_EQ(value_of(line, "sent_bytes"), std::to_string(clients[n].received.size()));
        EXPECT_EQ(value_of(line, "drop_texts"), "0");
        EXPECT_EQ(value_of(line, "may_write"), n == 1 ? "0" : "1");
        EXPECT_EQ(value_of(line, "discarded_bytes"), n == 1 ? std::to_string(command.size()) : "0");
    }
}

// A port held for IPv6 alone by another program leaves IPv4 to the daemon, which says once what it lost.
TEST_F(DualStack, PortsHeldForIPv6AloneByAnotherProgramLeaveIPv4Served)
{
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int fd = own(socket(AF_INET6, type | SOCK_CLOEXEC, 0)), on = 1;
        socklen_t length;
        sockaddr_storage any = address_at("::", type == SOCK_STREAM ? tcp_port : udp_in_port, &length);
        ASSERT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on), 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&any), length), 0);
        ASSERT_TRUE(type == SOCK_DGRAM || listen(fd, 5) == 0);
    }
    start();
    int ipv4 = client();
    ASSERT_GE(ipv4, 0);
    ASSERT_TRUE(join(ipv4));
    const std::string line = "$GPTXT,over IPv4*00\n";
    ASSERT_TRUE(send_from("127.0.0.1", as_sent(line)));
    std::string received;
    EXPECT_TRUE(read_until(ipv4, &received, line));
    // Once each, and nothing else; everything said at start is out by the time the counters are.
    std::vector<std::string> said = said_on_request(*d, 1);
    std::vector<std::string> before = lines_of(stderr_of(*d).substr(0, stderr_of(*d).find("counters: ")));
    std::sort(before.begin(), before.end());
    EXPECT_EQ(before, (std::vector<std::string>{
                          "TCP port 11102 is taken for IPv6 by another program: serving IPv4 alone\n",
                          "UDP input port 10101 is taken for IPv6 by another program: serving IPv4 alone\n"}));
    EXPECT_EQ(said.size(), 2u);
}

// Where IPv6 sockets are refused, the daemon serves IPv4 alone as it always did, and says nothing about it.
TEST_F(DualStack, WithoutIPv6SocketsIPv4IsServedAloneUnsaid)
{
    if (getenv("GPSFANOUT_DAEMON_PREFIX") != nullptr)
        GTEST_SKIP() << "the refusal is preloaded into a native daemon only";
    const char *asan = getenv("ASAN_OPTIONS");
    daemon_options options;
    options.environment = {std::string("LD_PRELOAD=") + GPSFANOUT_NO_IPV6,
                           std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    start({}, options);
    int ipv4 = client();
    ASSERT_GE(ipv4, 0);
    std::string received;
    ASSERT_TRUE(relay_to(ipv4, &received, "$GPTXT,over IPv4*00\n"));
    EXPECT_EQ(connect_from("::1"), -1);
    std::string ipv6_table, udp6_table;
    ASSERT_TRUE(read_file("/proc/net/tcp6", &ipv6_table) && read_file("/proc/net/udp6", &udp6_table));
    EXPECT_EQ(lines_of(ipv6_table).size() + lines_of(udp6_table).size(), 2u) << ipv6_table << udp6_table;
    EXPECT_EQ(stderr_of(*d), "");
}

} // namespace
