// SPDX-License-Identifier: BSD-2-Clause
// Every relayed text as one UDP datagram to each broadcast-capable interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

// Creates the broadcast socket and reads the interface list once, keeping
// each broadcast entry's destination and foreground line for the life of the
// process. Interfaces that appear later are not used.
void broadcast_open(int out_udp_port);

// Sends the text to the broadcast address of every interface entry that has
// the broadcast flag.
void broadcast_text(const char *text, size_t length);

// The foreground's lines for each broadcast, one per copy
// ("name - address/netmask/broadcast \n"); "" when nothing is broadcast.
const char *broadcast_lines(size_t *length);

// The IPv4 address carried by a socket address, in network byte order, or 0
// when the address is absent or not IPv4.
uint32_t ipv4_of(const sockaddr *address);
