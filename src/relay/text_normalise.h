// SPDX-License-Identifier: BSD-2-Clause
// Line-end normalisation applied to every text before it is relayed. Pure.
#pragma once

#include <cstddef>

#include "base/text_capacity.h"

// Texts shorter than this are never relayed.
constexpr size_t min_text_length = 6;

// Clamps the text to 8191 characters, turns its last carriage return into a
// line feed and ends the text right after it; earlier carriage returns stay,
// a run of them before the line end included. Returns the length to relay,
// or 0 when the text is too short to be relayed. `text` must have room for
// 8192 bytes.
size_t normalise_text(char *text);
