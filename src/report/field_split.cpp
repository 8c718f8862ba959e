// SPDX-License-Identifier: BSD-2-Clause
#include "report/field_split.h"

#include <cstring>

const char *next_field(const char *source, char *destination, size_t capacity, char delimiter)
{
    // A NUL delimiter would find the terminator and read past it.
    const char *end = delimiter != '\0' ? strchr(source, delimiter) : nullptr;
    size_t length = end != nullptr ? static_cast<size_t>(end - source) : strlen(source);
    if (capacity > 0) {
        size_t kept = length < capacity - 1 ? length : capacity - 1;
        memcpy(destination, source, kept);
        destination[kept] = '\0';
    }
    if (end == nullptr || end[1] == '\0')
        return nullptr;
    return end + 1;
}
