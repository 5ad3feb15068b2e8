#include "platform/reachability/RoutingTableSnapshot.h"

#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>

namespace platform {
namespace {

bool linkCarriesTraffic(const RoutingTableSnapshot& snapshot, int index) {
    constexpr unsigned required = IFF_UP | IFF_RUNNING;
    return std::any_of(snapshot.links.begin(), snapshot.links.end(), [&](const LinkRecord& link) {
        return link.index == index && (link.flags & required) == required &&
               (link.flags & IFF_LOOPBACK) == 0;
    });
}

bool nexthopUsable(const RoutingTableSnapshot& snapshot, const NexthopRecord& hop) {
    return (hop.flags & (RTNH_F_LINKDOWN | RTNH_F_DEAD)) == 0 &&
           linkCarriesTraffic(snapshot, hop.interfaceIndex);
}

bool isDefaultRoute(const RouteRecord& route) {
    // The local table holds the machine's own addresses, never a way out.
    return route.destinationLength == 0 && route.type == RTN_UNICAST &&
           route.table != RT_TABLE_LOCAL;
}

} // namespace

bool hasUsableDefaultRoute(const RoutingTableSnapshot& snapshot) {
    return std::any_of(snapshot.routes.begin(), snapshot.routes.end(), [&](const RouteRecord& r) {
        return isDefaultRoute(r) &&
               std::any_of(r.nexthops.begin(), r.nexthops.end(),
                           [&](const NexthopRecord& hop) { return nexthopUsable(snapshot, hop); });
    });
}

SCNetworkReachabilityFlags reachabilityFlags(const RoutingTableSnapshot& snapshot) {
    return hasUsableDefaultRoute(snapshot) ? kSCNetworkReachabilityFlagsReachable
                                           : SCNetworkReachabilityFlags{};
}

} // namespace platform
