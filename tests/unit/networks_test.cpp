// SPDX-License-Identifier: BSD-2-Clause
// Which networks -a names, and which clients may then write to the receiver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

#include "base/networks.h"

namespace {

// A network as "first/prefix", or why its text was refused.
std::string read_back(const char *text)
{
    ip_network n;
    const char *why = parse_network(text, &n);
    if (why != nullptr)
        return why;
    char first[INET6_ADDRSTRLEN];
    inet_ntop(n.family, n.first, first, sizeof first);
    return std::string(first) + "/" + std::to_string(n.prefix);
}

TEST(WriterNetworks, TextsNameTheseNetworksOrAreRefused)
{
    const std::string malformed = "not an IPv4 or IPv6 address";
    const std::string host_bits = "bits set past the prefix length";
    const std::string mapped = "an IPv4-mapped address";
    const struct { const char *text; std::string read; } cases[] = {
        {"192.168.1.20", "192.168.1.20/32"},
        {"192.168.1.0/24", "192.168.1.0/24"},
        {"192.168.1.128/25", "192.168.1.128/25"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"255.255.255.255/32", "255.255.255.255/32"},
        {"192.168.1.0/33", malformed},
        {"example", malformed},
        {"", malformed},
        {"192.168.1", malformed},
        {"1.2.3.4.5", malformed},
        {"256.1.1.1", malformed},
        {"192.168.1.0/", malformed},
        {"192.168.1.0/24x", malformed},
        {"192.168.1.0/024", malformed},
        {"010.1.1.1", malformed}, // octal to inet_aton, ten to a person: neither
        {" 1.2.3.4", malformed},
        {"1.2.3.4 ", malformed},
        {"192.168.1.5/24", host_bits},
        {"10.0.0.1/0", host_bits},
        {"fd00:1::/64", "fd00:1::/64"},
        {"2001:db8::5", "2001:db8::5/128"},
        {"fe80::/10", "fe80::/10"},
        {"FD00:0001:0000::/48", "fd00:1::/48"},
        {"::/0", "::/0"},
        {"fd00:1::/129", malformed},
        {"fd00:1::/064", malformed},
        {"fd00:1::/64/64", malformed},
        {"fd00::1::2", malformed},
        {"fe80::1%eth0", malformed},
        {"fd00:1::/64 ", malformed},
        {"fd00:1::1/64", host_bits},
        {"fe80::/8", host_bits},
        {"::ffff:192.168.1.0/120", mapped},
    };
    for (auto &c : cases)
        EXPECT_EQ(read_back(c.text).substr(0, c.read.size()), c.read) << c.text;
    // Every prefix length of both families: the widest network it allows, and one host bit more is refused.
    for (int family : {AF_INET, AF_INET6}) {
        int bits = family == AF_INET ? 32 : 128;
        for (int prefix = 0; prefix <= bits; prefix++) {
            unsigned char first[16] = {}, stray[16] = {};
            for (int bit = 0; bit < prefix; bit++)
                first[bit / 8] |= static_cast<unsigned char>(0x80 >> bit % 8);
            memcpy(stray, first, sizeof stray);
            stray[bits / 8 - 1] |= 1;
            char text[INET6_ADDRSTRLEN];
            inet_ntop(family, first, text, sizeof text);
            std::string widest = std::string(text) + "/" + std::to_string(prefix);
            EXPECT_EQ(read_back(widest.c_str()), widest);
            inet_ntop(family, stray, text, sizeof text);
            std::string wider = std::string(text) + "/" + std::to_string(prefix);
            if (prefix < bits) {
                EXPECT_EQ(read_back(wider.c_str()).substr(0, host_bits.size()), host_bits) << wider;
            }
        }
    }
}

// A peer as accept gives it: an IPv6 text from the dual-stack socket (an IPv4 client as ::ffff:a.b.c.d), or
// an IPv4 text from an IPv4-only one.
sockaddr_storage peer_of(const char *text, uint16_t port)
{
    sockaddr_storage peer = {};
    if (strchr(text, ':') != nullptr) {
        auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&peer);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET6, text, &ipv6->sin6_addr), 1) << text;
    } else {
        auto *ipv4 = reinterpret_cast<sockaddr_in *>(&peer);
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET, text, &ipv4->sin_addr), 1) << text;
    }
    return peer;
}

// From gpsfanout(8): with -a, only clients in a named network write, loopback too; an IPv4 client is named
// and matched as IPv4, never as its mapped IPv6 form.
TEST(WriterNetworks, OnlyNamedNetworksMayWriteOnceAnyIsNamedAndIPv4IsMatchedAsIPv4)
{
    const struct { std::vector<const char *> named; const char *client; bool writes; const char *named_as; } cases[] = {
        // Without -a every client writes, as before.
        {{}, "198.51.100.1", true, "198.51.100.1"},
        {{}, "fd00:1::5", true, "fd00:1::5"},
        {{"192.168.1.20"}, "192.168.1.20", true, "192.168.1.20"},
        {{"192.168.1.20"}, "::ffff:192.168.1.20", true, "192.168.1.20"},
        {{"192.168.1.20"}, "::ffff:192.168.1.21", false, "192.168.1.21"},
        {{"192.168.1.0/24"}, "::ffff:192.168.1.255", true, "192.168.1.255"},
        {{"192.168.1.0/24"}, "::ffff:192.168.2.1", false, "192.168.2.1"},
        {{"192.168.1.20", "10.0.0.0/8"}, "::ffff:10.255.255.255", true, "10.255.255.255"},
        // Loopback only when named, in its own family.
        {{"192.168.1.20"}, "::ffff:127.0.0.1", false, "127.0.0.1"},
        {{"192.168.1.20"}, "::1", false, "::1"},
        {{"127.0.0.1"}, "::ffff:127.0.0.1", true, "127.0.0.1"},
        {{"127.0.0.1"}, "127.0.0.1", true, "127.0.0.1"},
        {{"127.0.0.1"}, "::1", false, "::1"},
        {{"::1"}, "::1", true, "::1"},
        {{"::1"}, "::ffff:127.0.0.1", false, "127.0.0.1"},
        // An IPv4 client is never in an IPv6 network, nor an IPv6 client in an IPv4 one.
        {{"::/0"}, "::ffff:203.0.113.9", false, "203.0.113.9"},
        {{"::/80"}, "::ffff:203.0.113.9", false, "203.0.113.9"},
        {{"0.0.0.0/0"}, "::ffff:203.0.113.9", true, "203.0.113.9"},
        {{"0.0.0.0/0"}, "fd00:1::5", false, "fd00:1::5"},
        {{"::/0"}, "fd00:1::5", true, "fd00:1::5"},
        {{"fd00:1::/64"}, "fd00:1::ffff:1", true, "fd00:1::ffff:1"},
        {{"fd00:1::/64"}, "fd00:1:0:1::1", false, "fd00:1:0:1::1"},
        {{"fd00:1::/63"}, "fd00:1:0:1::1", true, "fd00:1:0:1::1"},
        {{"fd00:1::/63"}, "fd00:1:0:2::1", false, "fd00:1:0:2::1"},
        {{"fe80::/10"}, "febf::1", true, "febf::1"},
        {{"fe80::/10"}, "fec0::1", false, "fec0::1"},
        {{"2001:db8::5"}, "2001:db8::5", true, "2001:db8::5"},
        {{"2001:db8::5"}, "2001:db8::4", false, "2001:db8::4"},
    };
    for (auto &c : cases) {
        std::vector<ip_network> named(c.named.size());
        for (size_t n = 0; n < named.size(); n++)
            ASSERT_EQ(parse_network(c.named[n], &named[n]), nullptr) << c.named[n];
        sockaddr_storage peer = peer_of(c.client, 51234);
        uint16_t port = 0;
        ip_address address = address_of(reinterpret_cast<sockaddr *>(&peer), &port);
        char text[address_text_capacity];
        address_text(address, text);
        EXPECT_EQ(may_write(named.data(), named.size(), address), c.writes)
            << c.client << " with " << named.size() << " named";
        EXPECT_STREQ(text, c.named_as);
        EXPECT_EQ(port, 51234);
    }
}

} // namespace
