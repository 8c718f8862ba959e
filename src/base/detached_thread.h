// SPDX-License-Identifier: BSD-2-Clause
// The daemon's helper threads: nothing ever waits for them, and each gets
// only the stack it needs, so that a hundred of them stay cheap in address
// space on 32-bit devices.
#pragma once

#include <cstddef>

// Starts entry(argument) on a detached thread with a stack of `stack_size`
// bytes (0: the system's default). Returns false, with the reason in errno, when the thread cannot be
// started.
bool start_detached_thread(void *(*entry)(void *), void *argument, size_t stack_size);
