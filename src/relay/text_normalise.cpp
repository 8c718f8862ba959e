// SPDX-License-Identifier: BSD-2-Clause
#include "relay/text_normalise.h"

#include <cstring>

size_t normalise_text(char *text)
{
    size_t length = strnlen(text, text_capacity - 1);
    text[length] = '\0';
    // A sentence ends in CR LF on the wire; relayed, it ends in a single LF.
    // Only the last CR counts: earlier ones belong to sentences in the middle.
    char *cr = static_cast<char *>(memrchr(text, '\r', length));
    if (cr != nullptr) {
        cr[0] = '\n';
        cr[1] = '\0';
        length = static_cast<size_t>(cr + 1 - text);
    }
    return length < min_text_length ? 0 : length;
}
