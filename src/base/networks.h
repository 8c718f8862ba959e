// SPDX-License-Identifier: BSD-2-Clause
// The networks whose clients may write to the receiver (-a), the test made
// once per client when it is accepted, and a client's address as messages
// name it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

// An address of either family. An IPv4 client of the dual-stack port is
// held as IPv4 (its four bytes first), never as the IPv4-mapped IPv6
// address the socket gives: it is named and matched as what it is.
struct ip_address {
    sa_family_t family = AF_INET; // AF_INET or AF_INET6
    uint8_t bytes[16] = {};       // network byte order
};

// A network of either family: an address is in it when it is of the same
// family and its first `prefix` bits are those of `first`.
struct ip_network {
    sa_family_t family;
    uint8_t first[16]; // no bit set past the prefix
    unsigned prefix;   // 0 to 32, or 0 to 128
};

// Room for every -a, of either family; more are refused rather than
// dropped unsaid. A boat's writers are a laptop or two and a LAN: sixteen
// is plenty.
constexpr size_t max_writer_networks = 16;

// Reads "192.168.1.20" (one address, /32), "192.168.1.0/24", "2001:db8::5"
// (/128) or "fd00:1::/64" into *out. Returns nullptr when good, else why
// the text was refused.
const char *parse_network(const char *text, ip_network *out);

// Whether a client at `address` may write: always without named networks;
// with them, only from an address in one of them, loopback included.
bool may_write(const ip_network *networks, size_t count, const ip_address &address);

// The address and port of a peer as accept or recvfrom give them (either
// family), an IPv4-mapped address as IPv4.
ip_address address_of(const sockaddr *peer, uint16_t *port);

// Room for any address as text, with its end.
constexpr size_t address_text_capacity = 48;

// "192.168.1.20" or "fd00:1::20" into out (address_text_capacity bytes).
void address_text(const ip_address &address, char *out);
