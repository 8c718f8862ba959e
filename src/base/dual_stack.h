// SPDX-License-Identifier: BSD-2-Clause
// One socket that takes IPv6 and IPv4 on the same port, or IPv4 alone
// where the kernel has no IPv6.
#pragma once

#include <cstdint>

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM, closed on exec) bound at
// `port` on every address, for both families where it can be: IPv6 with
// IPV6_V6ONLY off, so that IPv4 peers reach it too; where the kernel
// refuses IPv6 sockets (built without it, or booted with ipv6.disable=1),
// IPv4 alone, unsaid, as small embedded kernels often lack IPv6. `prepare`
// (may be null) is applied before each bind. When another program
// holds the port for IPv6 alone (IPV6_V6ONLY), IPv4 alone is bound, and
// that is said once, naming the port as `what` ("UDP input", "TCP"). -1,
// with the reason in errno, when the port cannot be bound.
int bound_socket(int type, uint16_t port, void (*prepare)(int fd), const char *what);
