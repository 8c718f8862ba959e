// SPDX-License-Identifier: BSD-2-Clause
#include "relay/broadcast_output.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <new>
#include <unistd.h>

#include "base/counters.h"
#include "base/messages.h"
#include "base/settings.h"

// All owned by relay_thread and set once by broadcast_open: the list of
// interfaces never changes, so each text costs one sendmmsg and, in the
// foreground, one ready-made block of interface lines.
static int broadcast_socket = -1;
static sockaddr_in *destinations = nullptr; // one per entry with the broadcast flag, in list order
static mmsghdr *copies = nullptr;           // one datagram to each destination
static iovec copy_text;                     // the text every copy carries
static unsigned copy_count = 0;
static char *interface_lines = nullptr;     // "name - address/netmask/broadcast \n" per destination
static size_t interface_lines_length = 0;

// Size of one dotted address buffer.
constexpr size_t address_text_size = 100;

const char *broadcast_lines(size_t *length)
{
    *length = copy_count > 0 ? interface_lines_length : 0;
    return copy_count > 0 ? interface_lines : "";
}

uint32_t ipv4_of(const sockaddr *address)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return 0;
    sockaddr_in ipv4;
    memcpy(&ipv4, address, sizeof ipv4);
    return ipv4.sin_addr.s_addr;
}

static void dotted(char *out, uint32_t address)
{
    in_addr a;
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, out, address_text_size) == nullptr)
        snprintf(out, address_text_size, "0.0.0.0");
}

// The foreground line of one entry; its length, or 0 when it cannot be made.
static size_t interface_line(char *out, size_t capacity, const ifaddrs *entry)
{
    char address[address_text_size], netmask[address_text_size], brd[address_text_size];
    dotted(address, ipv4_of(entry->ifa_addr));
    dotted(netmask, ipv4_of(entry->ifa_netmask));
    dotted(brd, ipv4_of(entry->ifa_broadaddr));
    int length = snprintf(out, capacity, "%s - %s/%s/%s \n", entry->ifa_name, address, netmask, brd);
    return length > 0 && static_cast<size_t>(length) < capacity ? static_cast<size_t>(length) : 0;
}

void broadcast_open(int out_udp_port)
{
    broadcast_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int on = 1;
    setsockopt(broadcast_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    // Read once, never refreshed: interfaces that appear later are not used.
    // When it cannot be read, nothing is broadcast for the life of the process.
    ifaddrs *interface_list = nullptr;
    if (getifaddrs(&interface_list) != 0)
        return;
    unsigned count = 0;
    for (const ifaddrs *entry = interface_list; entry != nullptr; entry = entry->ifa_next)
        count += (entry->ifa_flags & IFF_BROADCAST) != 0;
    if (count == 0) {
        freeifaddrs(interface_list);
        return;
    }
    // Room for every line: a name of IFNAMSIZ, three addresses and the frame.
    constexpr size_t line_capacity = IFNAMSIZ + 3 * INET_ADDRSTRLEN + 16;
    destinations = new (std::nothrow) sockaddr_in[count]();
    copies = new (std::nothrow) mmsghdr[count]();
    interface_lines = new (std::nothrow) char[count * line_capacity + 1];
    if (destinations == nullptr || copies == nullptr || interface_lines == nullptr) {
        complain("Unable to prepare the broadcast: out of memory\n");
        freeifaddrs(interface_list);
        return;
    }
    size_t lines_length = 0;
    for (const ifaddrs *entry = interface_list; entry != nullptr; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_BROADCAST))
            continue;
        // An entry without an IPv4 broadcast address (a link-layer or IPv6
        // entry) sends to 0.0.0.0, which local listeners receive; programs on
        // the device may depend on that copy.
        sockaddr_in *to = &destinations[copy_count];
        to->sin_family = AF_INET;
        to->sin_port = htons(static_cast<uint16_t>(out_udp_port));
        to->sin_addr.s_addr = ipv4_of(entry->ifa_broadaddr);
        copies[copy_count].msg_hdr.msg_name = to;
        copies[copy_count].msg_hdr.msg_namelen = sizeof *to;
        copies[copy_count].msg_hdr.msg_iov = &copy_text;
        copies[copy_count].msg_hdr.msg_iovlen = 1;
        copy_count++;
        lines_length += interface_line(interface_lines + lines_length, line_capacity, entry);
    }
    interface_lines[lines_length] = '\0';
    interface_lines_length = lines_length;
    freeifaddrs(interface_list); // what the relay needs of it is copied
}

void broadcast_text(const char *text, size_t length)
{
    if (copy_count == 0)
        return;
    copy_text.iov_base = const_cast<char *>(text);
    copy_text.iov_len = length;
    // A copy that fails stops sendmmsg there, and its error is lost: skip
    // that copy and send the rest, as a failed send was ignored on its own.
    unsigned next = 0;
    while (next < copy_count) {
        int done = sendmmsg(broadcast_socket, copies + next, copy_count - next, MSG_DONTWAIT);
        next += done > 0 ? static_cast<unsigned>(done) : 0;
        if (next < copy_count) {
            count_one(counters.bcast_failed);
            next++;
        }
    }
}
