// SPDX-License-Identifier: BSD-2-Clause
#include "relay/text_normalise.h"

#include <cstring>

size_t normalise_text(char *text)
{
    size_t length = strnlen(text, text_capacity - 1);
    text[length] = '\0';
    // A sentence ends in CR LF on the wire; relayed, it ends in a single LF.
    // Only the run of line ends that closes the text is touched: its last
    // CR becomes the LF and the text ends right after it (earlier CRs of the
    // run stay). Lines before the run keep their line ends as they came, so
    // a unit of mixed line ends loses no line.
    size_t run = length;
    while (run > 0 && (text[run - 1] == '\r' || text[run - 1] == '\n'))
        run--;
    char *cr = static_cast<char *>(memrchr(text + run, '\r', length - run));
    if (cr != nullptr) {
        cr[0] = '\n';
        cr[1] = '\0';
        length = static_cast<size_t>(cr + 1 - text);
    }
    return length < min_text_length ? 0 : length;
}
