// SPDX-License-Identifier: BSD-2-Clause
// The room every layer gives one relayed text: the relay cuts units to it,
// and the reports keep the latest texts in stores of that size.
#pragma once

#include <cstddef>

// Room for one relayed text unit and its terminator.
constexpr size_t text_capacity = 8192;
