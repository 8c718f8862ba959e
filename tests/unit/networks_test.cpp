// SPDX-License-Identifier: BSD-2-Clause
// Which networks -a names, and which clients may then write to the receiver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include "app/networks.h"

namespace {

uint32_t address_of(const char *dotted)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return ntohl(a.s_addr);
}

TEST(WriterNetworks, TextsNameTheseNetworksOrAreRefused)
{
    const std::string malformed = "not an IPv4 address";
    const std::string host_bits = "bits set past the prefix length";
    const struct { const char *text; uint32_t first, mask; std::string why; } cases[] = {
        {"192.168.1.20", 0xc0a80114, 0xffffffff, ""},
        {"192.168.1.0/24", 0xc0a80100, 0xffffff00, ""},
        {"192.168.1.128/25", 0xc0a80180, 0xffffff80, ""},
        {"10.0.0.0/8", 0x0a000000, 0xff000000, ""},
        {"0.0.0.0/0", 0, 0, ""},
        {"255.255.255.255/32", 0xffffffff, 0xffffffff, ""},
        {"192.168.1.0/33", 0, 0, malformed},
        {"example", 0, 0, malformed},
        {"", 0, 0, malformed},
        {"192.168.1", 0, 0, malformed},
        {"1.2.3.4.5", 0, 0, malformed},
        {"256.1.1.1", 0, 0, malformed},
        {"192.168.1.0/", 0, 0, malformed},
        {"192.168.1.0/24x", 0, 0, malformed},
        {"192.168.1.0/024", 0, 0, malformed},
        {"010.1.1.1", 0, 0, malformed}, // octal to inet_aton, ten to a person: neither
        {" 1.2.3.4", 0, 0, malformed},
        {"1.2.3.4 ", 0, 0, malformed},
        {"192.168.1.5/24", 0, 0, host_bits},
        {"10.0.0.1/0", 0, 0, host_bits},
    };
    for (auto &c : cases) {
        ipv4_network n = {1, 1};
        const char *why = parse_network(c.text, &n);
        EXPECT_EQ(std::string(why == nullptr ? "" : why).substr(0, c.why.size()), c.why) << c.text;
        EXPECT_EQ(why == nullptr, c.why.empty()) << c.text;
        if (why == nullptr) {
            EXPECT_EQ(n.first, c.first) << c.text;
            EXPECT_EQ(n.mask, c.mask) << c.text;
        }
    }
    // Every prefix length: the widest network it allows, and one host bit more is refused.
    for (int prefix = 0; prefix <= 32; prefix++) {
        uint32_t mask = prefix == 0 ? 0 : 0xffffffffu << (32 - prefix);
        in_addr a{htonl(mask)};
        std::string widest = std::string(inet_ntoa(a)) + "/" + std::to_string(prefix);
        ipv4_network n = {1, 1};
        EXPECT_EQ(parse_network(widest.c_str(), &n), nullptr) << widest;
        EXPECT_EQ(n.first, mask) << widest;
        EXPECT_EQ(n.mask, mask) << widest;
        if (prefix < 32) {
            a.s_addr = htonl(mask | 1);
            std::string stray = std::string(inet_ntoa(a)) + "/" + std::to_string(prefix);
            EXPECT_NE(parse_network(stray.c_str(), &n), nullptr) << stray;
        }
    }
}

TEST(WriterNetworks, OnlyNamedNetworksAndLoopbackMayWriteOnceAnyIsNamed)
{
    const ipv4_network lan = {0xc0a80100, 0xffffff00}, laptop = {0xc0a80114, 0xffffffff},
                       all = {0, 0}, ten = {0x0a000000, 0xff000000};
    const struct { std::vector<ipv4_network> named; const char *client; bool writes; } cases[] = {
        // Without -a every client writes, as before.
        {{}, "198.51.100.1", true},
        {{laptop}, "192.168.1.20", true},
        {{laptop}, "192.168.1.21", false},
        {{laptop}, "198.51.100.1", false},
        // Programs on the device itself write whatever is named: any 127/8 address.
        {{laptop}, "127.0.0.1", true},
        {{laptop}, "127.255.255.254", true},
        {{laptop}, "126.255.255.255", false},
        {{laptop}, "128.0.0.1", false},
        {{lan}, "192.168.1.255", true},
        {{lan}, "192.168.2.1", false},
        {{laptop, ten}, "10.255.255.255", true},
        {{all}, "203.0.113.9", true},
    };
    for (auto &c : cases)
        EXPECT_EQ(may_write(c.named.data(), c.named.size(), address_of(c.client)), c.writes)
            << c.client << " with " << c.named.size() << " named";
}

} // namespace
