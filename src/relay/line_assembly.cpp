// SPDX-License-Identifier: BSD-2-Clause
#include "relay/line_assembly.h"

#include <cstring>

#include "relay/text_normalise.h"

void assembly_reset(line_assembly *a)
{
    a->line_buffer[0] = '\0';
    a->cursor = 0;
}

char *assembly_room(line_assembly *a, size_t *room)
{
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

bool assembly_take(line_assembly *a, long received, bool accept)
{
    if (received <= 0) {
        // Nothing usable arrived: a fragment that was waiting cannot be completed.
        a->cursor = 0;
        return false;
    }
    size_t start = a->cursor;
    size_t end = start + static_cast<size_t>(received);
    if (end > text_capacity - 1)
        end = text_capacity - 1;
    a->line_buffer[end] = '\0';
    if (!accept)
        return false;
    // Only the new bytes are searched, and a NUL among them hides what follows.
    if (strpbrk(a->line_buffer + start, "\r\n") != nullptr) {
        a->cursor = 0;
        return true;
    }
    a->cursor = end;
    return false;
}

const char *assembly_text_to_relay(line_assembly *a, long received, bool accept, size_t *length)
{
    if (!assembly_take(a, received, accept))
        return nullptr;
    *length = normalise_text(a->line_buffer);
    return *length > 0 ? a->line_buffer : nullptr;
}

size_t read_text_to_relay(char *buffer, long received)
{
    if (received < 0)
        return 0;
    size_t end = static_cast<size_t>(received) < text_capacity - 1 ? static_cast<size_t>(received)
                                                                   : text_capacity - 1;
    buffer[end] = '\0';
    return normalise_text(buffer);
}
