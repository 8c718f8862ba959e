// SPDX-License-Identifier: BSD-2-Clause
// The networks whose clients may write to the receiver (-a), and the test
// made once per client when it is accepted.
#pragma once

#include <cstddef>
#include <cstdint>

// An IPv4 network, in host byte order: an address is in it when
// (address & mask) == first.
struct ipv4_network {
    uint32_t first; // its first address; no bit set outside mask
    uint32_t mask;
};

// Room for every -a; more are refused rather than dropped unsaid. A boat's
// writers are a laptop or two and a LAN: sixteen is plenty.
constexpr size_t max_writer_networks = 16;

// Reads "192.168.1.20" (one address, /32) or "192.168.1.0/24" into *out.
// Returns nullptr when good, else why the text was refused.
const char *parse_network(const char *text, ipv4_network *out);

// Whether a client at `address` (host byte order) may write: always without
// named networks; with them, from a loopback address (programs on the
// device itself) or from an address in one of them.
bool may_write(const ipv4_network *networks, size_t count, uint32_t address);
