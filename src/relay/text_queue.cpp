// SPDX-License-Identifier: BSD-2-Clause
#include "relay/text_queue.h"

#include <cstring>

// Whether `c` is one of `set` (never the NUL that ends it).
static bool one_of(char c, const char *set)
{
    return c != '\0' && strchr(set, c) != nullptr;
}

// A field of one or two digits at `at`, ended by `ends`, or -1; *next is past its end.
static int small_number(const char *text, size_t length, size_t at, const char *ends, size_t *next)
{
    int value = 0;
    size_t digits = 0;
    for (; at + digits < length && digits < 3 && text[at + digits] >= '0' && text[at + digits] <= '9'; digits++)
        value = value * 10 + (text[at + digits] - '0');
    if (digits == 0 || digits > 2 || (at + digits < length && !one_of(text[at + digits], ends)))
        return -1;
    *next = at + digits + 1;
    return value;
}

bool sentence_type_of(const char *text, size_t length, sentence_type *type)
{
    if (length < 2 || (text[0] != '$' && text[0] != '!'))
        return false;
    // A text of several lines holds more than one sentence: none may stand for it.
    for (size_t i = 0; i + 1 < length; i++)
        if (text[i] == '\n' || text[i] == '\r')
            return false;
    size_t end = 1;
    while (end < length && end <= sentence_address_max &&
           ((text[end] >= 'A' && text[end] <= 'Z') || (text[end] >= '0' && text[end] <= '9')))
        end++;
    if (end == 1 || (end < length && !one_of(text[end], ",*\r\n")))
        return false;
    memcpy(type->address, text, end);
    type->address[end] = '\0';
    // GSV, and every other sentence of this shape (TXT, RTE, ALM ...): part n of count.
    type->part = 0;
    size_t next = 0;
    int count = end < length && text[end] == ',' ? small_number(text, length, end + 1, ",", &next) : -1;
    int number = count > 0 ? small_number(text, length, next, ",*\r\n", &next) : -1;
    if (number >= 1 && number <= count)
        type->part = number;
    return true;
}

// Where the text of `type` waits, or queue->used when none does.
static size_t waiting_of_type(const text_queue *queue, const sentence_type &type)
{
    queued_text header;
    for (size_t at = 0; at < queue->used; at += sizeof header + header.length) {
        memcpy(&header, queue->bytes + at, sizeof header);
        if (header.type.part == type.part && strcmp(header.type.address, type.address) == 0)
            return at;
    }
    return queue->used;
}

// Makes the entry at `at` `to` bytes long instead of `from`, moving those behind it.
static void resize_entry(text_queue *queue, size_t at, size_t from, size_t to)
{
    memmove(queue->bytes + at + to, queue->bytes + at + from, queue->used - at - from);
    queue->used = queue->used - from + to;
}

bool text_queue_offer(text_queue *queue, const char *text, size_t length, long long now_ms, size_t backlog,
                      int *dropped)
{
    queued_text header = {now_ms, length, {}};
    *dropped = 0;
    if (length == 0 || length >= text_capacity)
        return false;
    bool typed = sentence_type_of(text, length, &header.type);
    if (!typed)
        header.type.address[0] = '\0';
    size_t at = typed ? waiting_of_type(queue, header.type) : queue->used;
    // The older goes even when the newer does not fit: it is no longer the newest of its type.
    size_t older = 0, older_text = 0;
    if (at < queue->used) {
        queued_text waiting;
        memcpy(&waiting, queue->bytes + at, sizeof waiting);
        older_text = waiting.length;
        older = sizeof waiting + older_text;
        ++*dropped;
    }
    size_t others = queue->used - older, entry = sizeof header + length;
    bool fits = others == 0 ||
                (queue->text_bytes - older_text + length <= backlog && others + entry <= text_queue_capacity);
    resize_entry(queue, at, older, fits ? entry : 0);
    queue->text_bytes -= older_text;
    if (!fits) {
        ++*dropped;
        return false;
    }
    memcpy(queue->bytes + at, &header, sizeof header);
    memcpy(queue->bytes + at + sizeof header, text, length);
    queue->text_bytes += length;
    return true;
}

size_t text_queue_take(text_queue *queue, char *text, long long *queued_ms)
{
    if (queue->used == 0)
        return 0;
    queued_text header;
    memcpy(&header, queue->bytes, sizeof header);
    memcpy(text, queue->bytes + sizeof header, header.length);
    resize_entry(queue, 0, sizeof header + header.length, 0);
    queue->text_bytes -= header.length;
    *queued_ms = header.queued_ms;
    return header.length;
}
