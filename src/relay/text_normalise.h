// SPDX-License-Identifier: BSD-2-Clause
// Line-end normalisation applied to every text before it is relayed. Pure.
#pragma once

#include <cstddef>

#include "base/text_capacity.h"

// Texts shorter than this are never relayed.
constexpr size_t min_text_length = 6;

// Clamps the text to 8191 characters; in the run of line ends that closes
// it, the last carriage return becomes a line feed and the text ends right
// after it. Earlier carriage returns of the run, and every line end before
// the run, stay: no line is ever cut off. Returns the length to relay,
// or 0 when the text is too short to be relayed. `text` must have room for
// 8192 bytes.
size_t normalise_text(char *text);
