// SPDX-License-Identifier: BSD-2-Clause
#include "app/networks.h"

// Reads a decimal number of at most `max_digits` digits, no sign, no blank and
// no leading zero (inet_aton would read "010" as 8 where a person means 10);
// moves *text past it. Returns -1 when there is none such.
static long read_decimal(const char **text, int max_digits)
{
    const char *at = *text;
    long value = 0;
    int digits = 0;
    while (*at >= '0' && *at <= '9') {
        if (++digits > max_digits || (digits == 2 && value == 0))
            return -1;
        value = value * 10 + (*at++ - '0');
    }
    if (digits == 0)
        return -1;
    *text = at;
    return value;
}

const char *parse_network(const char *text, ipv4_network *out)
{
    const char *malformed = "not an IPv4 address with an optional prefix length 0 to 32 "
                            "(192.168.1.20 or 192.168.1.0/24)";
    const char *at = text;
    uint32_t address = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *at++ != '.')
            return malformed;
        long byte = read_decimal(&at, 3);
        if (byte < 0 || byte > 255)
            return malformed;
        address = address << 8 | static_cast<uint32_t>(byte);
    }
    long prefix = 32;
    if (*at == '/') {
        at++;
        prefix = read_decimal(&at, 2);
        if (prefix < 0 || prefix > 32)
            return malformed;
    }
    if (*at != '\0')
        return malformed;
    uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    // 192.168.1.5/24 may mean the LAN or a typo for the laptop alone; letting
    // the whole LAN write on a guess is the costly reading, so neither is taken.
    if ((address & ~mask) != 0)
        return "bits set past the prefix length (a network is named by its first address, as 192.168.1.0/24)";
    *out = {address, mask};
    return nullptr;
}

bool may_write(const ipv4_network *networks, size_t count, uint32_t address)
{
    if (count == 0 || address >> 24 == 127)
        return true;
    for (size_t n = 0; n < count; n++)
        if ((address & networks[n].mask) == networks[n].first)
            return true;
    return false;
}
