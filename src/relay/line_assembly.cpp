// SPDX-License-Identifier: BSD-2-Clause
#include "relay/line_assembly.h"

#include <cstring>

#include "relay/text_normalise.h"

void assembly_reset(line_assembly *a)
{
    a->line_buffer[0] = '\0';
    a->cursor = 0;
    a->tail_length = 0;
    a->dropped = 0;
}

char *assembly_room(line_assembly *a, size_t *room)
{
    // The head of a line held after the last unit is where the next datagram
    // joins it.
    if (a->tail_length > 0) {
        memcpy(a->line_buffer, a->tail, a->tail_length);
        a->cursor = a->tail_length;
        a->line_buffer[a->cursor] = '\0';
        a->tail_length = 0;
    }
    *room = text_capacity - 1 - a->cursor;
    return a->line_buffer + a->cursor;
}

long assembly_put(line_assembly *a, const char *datagram, size_t length)
{
    size_t room;
    char *at = assembly_room(a, &room);
    size_t placed = length < room ? length : room; // the rest is lost, as a receive would lose it
    memmove(at, datagram, placed);
    return static_cast<long>(placed);
}

// Just past the last CR or LF in text[0..length), NULs and all; 0 for none.
static size_t past_last_line_end(const char *text, size_t length)
{
    for (size_t at = length; at > 0; at--)
        if (text[at - 1] == '\r' || text[at - 1] == '\n')
            return at;
    return 0;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool whole_sentence(const char *text, size_t length)
{
    if (length < 4 || (text[0] != '$' && text[0] != '!') || text[length - 3] != '*')
        return false;
    int high = hex_value(text[length - 2]), low = hex_value(text[length - 1]);
    if (high < 0 || low < 0)
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i < length - 3; i++) {
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0')
            return false;
        sum ^= static_cast<unsigned char>(text[i]);
    }
    return sum == static_cast<unsigned>(high << 4 | low);
}

// A whole sentence in text[0..length) gets the line end it came without;
// `text` has room for text_capacity bytes. Returns the length to relay.
static size_t end_sentence(char *text, size_t length)
{
    if (length + 1 >= text_capacity || !whole_sentence(text, length))
        return 0;
    text[length] = '\n';
    text[length + 1] = '\0';
    return length + 1 < min_text_length ? 0 : length + 1;
}

// Cuts a complete unit, text[0..length) with NULs and all, to what is
// relayed: the text up to its first NUL, through the last line end before
// it, normalised. A NUL hides nothing: the line end after it still ended the
// unit, and only the sentence it tore is lost. *torn is set when text was
// dropped because a NUL or a missing line end tore it.
static size_t finish_unit(char *text, size_t length, bool *torn)
{
    const char *nul = static_cast<const char *>(memchr(text, '\0', length));
    size_t whole = nul != nullptr ? static_cast<size_t>(nul - text) : length;
    size_t end = past_last_line_end(text, whole);
    if (end == 0 && nul == nullptr) {
        size_t sentence = end_sentence(text, length);
        *torn = sentence == 0 && length > 0;
        return sentence;
    }
    *torn = nul != nullptr || whole > end;
    text[end] = '\0';
    return end > 0 ? normalise_text(text) : 0;
}

const char *assembly_text_to_relay(line_assembly *a, long received, bool accept, size_t *length)
{
    if (received <= 0) {
        // Nothing usable arrived: a fragment that was waiting cannot be completed.
        if (a->cursor > 0)
            a->dropped++;
        a->cursor = 0;
        a->line_buffer[0] = '\0';
        return nullptr;
    }
    size_t start = a->cursor;
    size_t end = start + static_cast<size_t>(received);
    if (end > text_capacity - 1)
        end = text_capacity - 1;
    if (!accept) {
        a->line_buffer[start] = '\0';
        return nullptr;
    }
    char *buffer = a->line_buffer;
    // A sentence never continues another: what waited for its line end was
    // torn, and glued to this it would pass for a sentence it is not.
    if (start > 0 && (buffer[start] == '$' || buffer[start] == '!')) {
        a->dropped++;
        memmove(buffer, buffer + start, end - start);
        end -= start;
        start = 0;
    }
    buffer[end] = '\0';
    size_t unit = past_last_line_end(buffer + start, end - start);
    if (unit == 0) {
        a->cursor = 0;
        // A sender that leaves out the line end: its sentence goes at once.
        *length = end_sentence(buffer, end);
        if (*length > 0)
            return buffer;
        if (end >= text_capacity - 1) {
            a->dropped++; // full without a line end: it can never be whole
            return nullptr;
        }
        a->cursor = end;
        return nullptr;
    }
    unit += start;
    a->tail_length = end - unit;
    memcpy(a->tail, buffer + unit, a->tail_length);
    if (memchr(a->tail, '\0', a->tail_length) != nullptr) {
        a->dropped++; // torn already: it could only ever be dropped
        a->tail_length = 0;
    }
    a->cursor = 0;
    bool torn;
    *length = finish_unit(buffer, unit, &torn);
    if (torn)
        a->dropped++;
    return *length > 0 ? buffer : nullptr;
}

const char *assembly_held_sentence(line_assembly *a, size_t *length)
{
    if (a->tail_length == 0 || !whole_sentence(a->tail, a->tail_length))
        return nullptr;
    memcpy(a->line_buffer, a->tail, a->tail_length);
    *length = end_sentence(a->line_buffer, a->tail_length);
    a->tail_length = 0;
    a->cursor = 0;
    return *length > 0 ? a->line_buffer : nullptr;
}

size_t read_text_to_relay(char *buffer, long received, bool *torn)
{
    *torn = false;
    if (received <= 0)
        return 0;
    size_t end = static_cast<size_t>(received) < text_capacity - 1 ? static_cast<size_t>(received)
                                                                   : text_capacity - 1;
    buffer[end] = '\0';
    return finish_unit(buffer, end, torn);
}
