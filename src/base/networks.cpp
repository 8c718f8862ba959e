// SPDX-License-Identifier: BSD-2-Clause
#include "base/networks.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

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

static const char *const malformed = "not an IPv4 or IPv6 address with an optional prefix length "
                                     "(192.168.1.20, 192.168.1.0/24, fd00:1::/64)";

// The IPv4 form: four decimal bytes, then /0 to /32.
static const char *parse_ipv4(const char *text, ip_network *out)
{
    const char *at = text;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *at++ != '.')
            return malformed;
        long byte = read_decimal(&at, 3);
        if (byte < 0 || byte > 255)
            return malformed;
        out->first[part] = static_cast<uint8_t>(byte);
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
    out->family = AF_INET;
    out->prefix = static_cast<unsigned>(prefix);
    return nullptr;
}

// The IPv6 form, as inet_pton reads it (no zone), then /0 to /128.
static const char *parse_ipv6(const char *text, ip_network *out)
{
    const char *slash = strchr(text, '/');
    size_t length = slash == nullptr ? strlen(text) : static_cast<size_t>(slash - text);
    char address[INET6_ADDRSTRLEN];
    if (length == 0 || length >= sizeof address)
        return malformed;
    memcpy(address, text, length);
    address[length] = '\0';
    in6_addr parsed;
    if (inet_pton(AF_INET6, address, &parsed) != 1)
        return malformed;
    long prefix = 128;
    if (slash != nullptr) {
        const char *at = slash + 1;
        prefix = read_decimal(&at, 3);
        if (prefix < 0 || prefix > 128 || *at != '\0')
            return malformed;
    }
    // An IPv4 client is matched as IPv4, never in its mapped form: a mapped
    // network would let nobody write, unsaid.
    if (IN6_IS_ADDR_V4MAPPED(&parsed))
        return "an IPv4-mapped address (name the IPv4 network itself, as 192.168.1.0/24)";
    memcpy(out->first, &parsed, sizeof parsed);
    out->family = AF_INET6;
    out->prefix = static_cast<unsigned>(prefix);
    return nullptr;
}

// Whether the first `prefix` bits of a and b are alike.
static bool same_prefix(const uint8_t *a, const uint8_t *b, unsigned prefix)
{
    unsigned whole = prefix / 8, rest = prefix % 8;
    if (memcmp(a, b, whole) != 0)
        return false;
    uint8_t mask = static_cast<uint8_t>(0xff00 >> rest);
    return rest == 0 || ((a[whole] ^ b[whole]) & mask) == 0;
}

const char *parse_network(const char *text, ip_network *out)
{
    ip_network read = {AF_INET, {}, 0};
    const char *wrong = strchr(text, ':') != nullptr ? parse_ipv6(text, &read) : parse_ipv4(text, &read);
    if (wrong != nullptr)
        return wrong;
    // 192.168.1.5/24 may mean the LAN or a typo for the laptop alone; letting
    // the whole LAN write on a guess is the costly reading, so neither is taken.
    static const uint8_t zeros[16] = {};
    uint8_t host_bits[16];
    memcpy(host_bits, read.first, sizeof host_bits);
    for (unsigned bit = 0; bit < read.prefix; bit++)
        host_bits[bit / 8] &= static_cast<uint8_t>(~(0x80 >> bit % 8));
    if (memcmp(host_bits, zeros, sizeof zeros) != 0)
        return "bits set past the prefix length (a network is named by its first address, "
               "as 192.168.1.0/24 or fd00:1::/64)";
    *out = read;
    return nullptr;
}

bool may_write(const ip_network *networks, size_t count, const ip_address &address)
{
    if (count == 0)
        return true;
    for (size_t n = 0; n < count; n++)
        if (networks[n].family == address.family && same_prefix(networks[n].first, address.bytes, networks[n].prefix))
            return true;
    return false;
}

ip_address address_of(const sockaddr *peer, uint16_t *port)
{
    ip_address address;
    *port = 0;
    if (peer->sa_family == AF_INET) {
        sockaddr_in ipv4;
        memcpy(&ipv4, peer, sizeof ipv4);
        memcpy(address.bytes, &ipv4.sin_addr, 4);
        *port = ntohs(ipv4.sin_port);
    } else if (peer->sa_family == AF_INET6) {
        sockaddr_in6 ipv6;
        memcpy(&ipv6, peer, sizeof ipv6);
        *port = ntohs(ipv6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr)) {
            memcpy(address.bytes, ipv6.sin6_addr.s6_addr + 12, 4);
        } else {
            address.family = AF_INET6;
            memcpy(address.bytes, &ipv6.sin6_addr, 16);
        }
    }
    return address;
}

void address_text(const ip_address &address, char *out)
{
    if (inet_ntop(address.family, address.bytes, out, address_text_capacity) == nullptr)
        strcpy(out, "?");
}
