#include "relay/broadcast_output.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include "app/messages.h"
#include "app/settings.h"

// All three are owned by relay_thread and set once by broadcast_open.
static int broadcast_socket = -1;
static sockaddr_in broadcast_destination;
static ifaddrs *interface_list = nullptr; // never refreshed: later interfaces are not used

// Size of one dotted address buffer.
constexpr size_t address_text_size = 100;

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

void broadcast_open(int out_udp_port)
{
    memset(&broadcast_destination, 0, sizeof broadcast_destination);
    broadcast_destination.sin_family = AF_INET;
    broadcast_destination.sin_port = htons(static_cast<uint16_t>(out_udp_port));

    broadcast_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int on = 1;
    setsockopt(broadcast_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    if (getifaddrs(&interface_list) != 0)
        interface_list = nullptr; // nothing is broadcast for the life of the process
}

void broadcast_text(const char *text, size_t length)
{
    for (const ifaddrs *entry = interface_list; entry != nullptr; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_BROADCAST))
            continue;
        uint32_t broadcast = ipv4_of(entry->ifa_broadaddr);
        if (!settings.daemon_mode) {
            char address[address_text_size], netmask[address_text_size], brd[address_text_size];
            dotted(address, ipv4_of(entry->ifa_addr));
            dotted(netmask, ipv4_of(entry->ifa_netmask));
            dotted(brd, broadcast);
            progress("%s - %s/%s/%s \n", entry->ifa_name, address, netmask, brd);
        }
        // An entry without an IPv4 broadcast address (a link-layer or IPv6
        // entry) sends to 0.0.0.0, which local listeners receive; programs on
        // the device may depend on that copy.
        broadcast_destination.sin_addr.s_addr = broadcast;
        sendto(broadcast_socket, text, length, MSG_DONTWAIT,
               reinterpret_cast<const sockaddr *>(&broadcast_destination),
               sizeof broadcast_destination);
    }
}
