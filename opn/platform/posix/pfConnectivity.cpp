#include "opn/platform/pfConnectivity.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

bool UsableAddress(const struct sockaddr* address) {
    if (!address)
        return false;
    if (address->sa_family == AF_INET)
        return true;
    if (address->sa_family == AF_INET6) {
        const struct sockaddr_in6* v6 = reinterpret_cast<const struct sockaddr_in6*>(address);
        // fe80::/10 only reaches the local link.
        return !(v6->sin6_addr.s6_addr[0] == 0xFE && (v6->sin6_addr.s6_addr[1] & 0xC0) == 0x80);
    }
    return false;
}

}  // namespace

bool PfInternetConnected() {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool connected = false;
    for (struct ifaddrs* it = list; it && !connected; it = it->ifa_next) {
        const unsigned int flags = it->ifa_flags;
        if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK) &&
            UsableAddress(it->ifa_addr))
            connected = true;
    }
    freeifaddrs(list);
    return connected;
}
