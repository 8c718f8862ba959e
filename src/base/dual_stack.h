// SPDX-License-Identifier: BSD-2-Clause
// One socket that takes IPv6 and IPv4 on the same port, or IPv4 alone
// where the kernel has no IPv6.
#pragma once

#include <cstdint>

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM, closed on exec): IPv6
// with IPV6_V6ONLY off, so that IPv4 peers reach it too; where the kernel
// refuses IPv6 sockets (built without it, or booted with ipv6.disable=1),
// an IPv4 one, unsaid, as small embedded kernels often lack IPv6. -1, with
// the reason in errno, when neither can be made.
int dual_stack_socket(int type);

// Binds a socket from dual_stack_socket to every address of its family at
// `port`. False, with the reason in errno, when the port cannot be bound.
bool bind_every_address(int fd, uint16_t port);

// A socket of `type` bound at `port` for both families where it can be,
// `prepare` (may be null) applied before each bind. When another program
// holds the port for IPv6 alone (IPV6_V6ONLY), IPv4 alone is bound, and
// that is said once, naming the port as `what` ("UDP input", "TCP"). -1,
// with the reason in errno, when the port cannot be bound.
int bound_socket(int type, uint16_t port, void (*prepare)(int fd), const char *what);
