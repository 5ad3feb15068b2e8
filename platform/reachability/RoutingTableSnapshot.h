#pragma once

#include "platform/reachability/SCNetworkReachabilityFlags.h"

#include <cstdint>
#include <vector>

namespace platform {

// The part of the kernel's network state that decides whether the machine
// can reach the network at all: its links and its routes.
struct LinkRecord {
    int index = 0;
    unsigned flags = 0; // IFF_*
};

struct NexthopRecord {
    int interfaceIndex = 0;
    unsigned flags = 0; // RTNH_F_*
};

struct RouteRecord {
    unsigned char type = 0; // RTN_*
    unsigned char destinationLength = 0;
    std::uint32_t table = 0;
    std::vector<NexthopRecord> nexthops;
};

struct RoutingTableSnapshot {
    std::vector<LinkRecord> links;
    std::vector<RouteRecord> routes;
};

// True when some default route (IPv4 or IPv6) leaves through a link that is
// up, running and not the loopback, and the route does not mark that hop as
// link-down or dead.
bool hasUsableDefaultRoute(const RoutingTableSnapshot& snapshot);

// The zero address's flags: reachable exactly when a usable default route exists.
SCNetworkReachabilityFlags reachabilityFlags(const RoutingTableSnapshot& snapshot);

} // namespace platform
