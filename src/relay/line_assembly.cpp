// SPDX-License-Identifier: BSD-2-Clause
#include "relay/line_assembly.h"

#include <cstring>

#include "relay/text_normalise.h"

void assembly_reset(line_assembly *a, bool joins)
{
    a->line_buffer[0] = '\0';
    a->held_length = 0;
    a->joins = joins;
    a->rest_dropped = false;
    a->owed = line_end_owed::none;
    a->dropped = 0;
}

static bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

// Just past the last CR or LF in text[0..length), NULs and all; 0 for none.
static size_t past_last_line_end(const char *text, size_t length)
{
    for (size_t at = length; at > 0; at--)
        if (is_line_end(text[at - 1]))
            return at;
    return 0;
}

// Just past the first line end (a CR LF together) in text[0..length); 0 for none.
static size_t past_first_line_end(const char *text, size_t length)
{
    for (size_t at = 0; at < length; at++)
        if (is_line_end(text[at]))
            return at + 1 < length && text[at] == '\r' && text[at + 1] == '\n' ? at + 2 : at + 1;
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

// NMEA 4 puts TAG blocks ("\\s:rcv1,c:1700000000*6C\\") before a sentence:
// a line begins with one as it begins with '$' or '!'.
static bool begins_sentence(char c)
{
    return c == '$' || c == '!' || c == '\\';
}

// Just past the TAG blocks at the start of text[0..length): 0 for none,
// `length` when one never closes.
static size_t past_tag_blocks(const char *text, size_t length)
{
    size_t at = 0;
    while (at < length && text[at] == '\\') {
        const void *close = memchr(text + at + 1, '\\', length - at - 1);
        if (close == nullptr)
            return length;
        at = static_cast<size_t>(static_cast<const char *>(close) - text) + 1;
    }
    return at;
}

bool whole_sentence(const char *text, size_t length)
{
    size_t tags = past_tag_blocks(text, length);
    for (size_t i = 0; i < tags; i++)
        if (is_line_end(text[i]) || text[i] == '\0')
            return false;
    text += tags;
    length -= tags;
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

// A head was lost: the rest of its line, whenever it comes, goes with it.
static void drop_head(line_assembly *a)
{
    a->dropped++;
    a->held_length = 0;
    a->rest_dropped = true;
}

// Removes from text[0..length) each line (its text and the run of line ends
// after it) that holds a NUL: the NUL tore it. A line of NULs alone is
// padding, removed without being counted. Returns the length left.
static size_t drop_torn_lines(char *text, size_t length, unsigned long *dropped)
{
    size_t kept = 0, at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && !is_line_end(text[end]))
            end++;
        size_t content = end;
        while (end < length && is_line_end(text[end]))
            end++;
        const char *nul = static_cast<const char *>(memchr(text + at, '\0', content - at));
        if (nul == nullptr) {
            memmove(text + kept, text + at, end - at);
            kept += end - at;
        } else {
            size_t padding = 0;
            while (at + padding < content && text[at + padding] == '\0')
                padding++;
            if (at + padding < content)
                (*dropped)++;
        }
        at = end;
    }
    return kept;
}

static void add_text(relayed_texts *out, const char *text, size_t length)
{
    out->text[out->count] = text;
    out->length[out->count] = length;
    out->count++;
}

void assembly_take(line_assembly *a, const char *bytes, size_t length, bool cut, relayed_texts *out)
{
    out->count = 0;
    // A sender that flushes a byte stream on a timer may part a line from
    // its line end: what completes the last piece's line is passed over,
    // never relayed as an empty line. (No head is held then, so a piece
    // that held only that line end drops nothing below.)
    line_end_owed owed = a->owed;
    a->owed = line_end_owed::none;
    if (length > 0 && (owed == line_end_owed::any ? is_line_end(bytes[0]) : owed == line_end_owed::lf && bytes[0] == '\n')) {
        bool cr = bytes[0] == '\r';
        bytes++;
        length--;
        if (cr) {
            if (length > 0 && bytes[0] == '\n') {
                bytes++;
                length--;
            } else if (length == 0 && !cut) {
                a->owed = line_end_owed::lf; // and its LF may come alone
                return;
            }
        }
        if (length == 0 && !cut)
            return;
    }
    if (!a->joins && length >= canonical_line_capacity) {
        // The terminal kept the line's ends and dropped its middle: what
        // came looks whole and is not.
        a->dropped++;
        a->rest_dropped = !is_line_end(bytes[length - 1]);
        return;
    }
    if (length == 0 && !cut) {
        // Nothing usable arrived: a head that was waiting cannot be completed.
        if (a->held_length > 0)
            drop_head(a);
        return;
    }
    if (length > 0 && begins_sentence(bytes[0])) {
        // A sentence never continues another: what waited for its line end
        // was torn, and glued to this it would pass for a sentence it is not.
        if (a->held_length > 0)
            a->dropped++;
        a->held_length = 0;
        a->rest_dropped = false;
    } else if (a->rest_dropped) {
        // The rest of a line whose head is gone would pass for a line.
        a->dropped++;
        size_t rest = past_first_line_end(bytes, length);
        if (rest == 0)
            return; // all of it is the rest; the line end is still to come
        a->rest_dropped = false;
        bytes += rest;
        length -= rest;
        if (length == 0) {
            if (cut)
                drop_head(a); // the receive cut the line after it
            else if (bytes[-1] == '\r')
                a->owed = line_end_owed::lf;
            return;
        }
    }

    size_t head = a->held_length;
    size_t room = text_capacity - 1 - head;
    size_t placed = length < room ? length : room;
    cut = cut || length > room; // what does not fit is lost, as a receive loses it
    char *text = a->line_buffer;
    memcpy(text, a->held, head);
    memcpy(text + head, bytes, placed);
    size_t end = head + placed;
    a->held_length = 0;
    size_t unit = past_last_line_end(text, end);
    size_t tail_length = end - unit;
    const char *tail = text + unit;

    // What follows the unit's last line end is settled first: the unit's
    // normalisation may write over its first byte.
    size_t sentence = 0;
    if (cut) {
        drop_head(a); // the line the cut tore, and its rest in the next piece
    } else if (tail_length > 0) {
        size_t kept = tail_length;
        while (kept > 0 && tail[kept - 1] == '\0')
            kept--;
        if (kept == 0) {
            // NULs after the last line end: padding, not text.
        } else if (kept + 1 < text_capacity && whole_sentence(tail, kept)) {
            // A sender that leaves out the line end: its sentence goes at once.
            memcpy(a->held, tail, kept);
            a->held[kept] = '\n';
            a->held[kept + 1] = '\0';
            sentence = kept + 1 >= min_text_length ? kept + 1 : 0;
            a->owed = line_end_owed::any; // its line end may still come
        } else if (!a->joins || tail_length >= text_capacity - 1 || memchr(tail, '\0', tail_length) != nullptr) {
            drop_head(a); // it can never be whole
        } else {
            memcpy(a->held, tail, tail_length);
            a->held_length = tail_length;
        }
    }
    if (unit > 0) {
        if (!cut && tail_length == 0 && text[unit - 1] == '\r')
            a->owed = line_end_owed::lf;
        size_t kept = drop_torn_lines(text, unit, &a->dropped);
        text[kept] = '\0';
        size_t relayed = kept > 0 ? normalise_text(text) : 0;
        if (relayed > 0)
            add_text(out, text, relayed);
    }
    if (sentence > 0)
        add_text(out, a->held, sentence);
}
