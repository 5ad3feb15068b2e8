#include "platform/reachability/RoutingTableSnapshot.h"

#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <net/if.h>

using namespace platform;

namespace {

constexpr unsigned working = IFF_UP | IFF_RUNNING;

RouteRecord defaultRoute(std::vector<NexthopRecord> hops, std::uint32_t table = RT_TABLE_MAIN) {
    RouteRecord route;
    route.type = RTN_UNICAST;
    route.destinationLength = 0;
    route.table = table;
    route.nexthops = std::move(hops);
    return route;
}

struct Case {
    const char* name;
    RoutingTableSnapshot snapshot;
    bool reachable;
};

} // namespace

TEST(RoutingTableSnapshot, ReachableOnlyThroughADefaultRouteOverAWorkingLink) {
    RouteRecord subnetRoute = defaultRoute({{2, 0}});
    subnetRoute.destinationLength = 24;
    RouteRecord unreachableDefault = defaultRoute({{2, 0}});
    unreachableDefault.type = RTN_UNREACHABLE;

    const Case cases[] = {
        {"nothing at all", {}, false},
        {"links but no routes", {{{2, working}}, {}}, false},
        {"default over a working link", {{{2, working}}, {defaultRoute({{2, 0}})}}, true},
        {"link up but without carrier", {{{2, IFF_UP}}, {defaultRoute({{2, 0}})}}, false},
        {"link running but down", {{{2, IFF_RUNNING}}, {defaultRoute({{2, 0}})}}, false},
        {"default over the loopback",
         {{{1, working | IFF_LOOPBACK}}, {defaultRoute({{1, 0}})}},
         false},
        {"route marked link-down", {{{2, working}}, {defaultRoute({{2, RTNH_F_LINKDOWN}})}}, false},
        {"route marked dead", {{{2, working}}, {defaultRoute({{2, RTNH_F_DEAD}})}}, false},
        {"onlink hop is fine", {{{2, working}}, {defaultRoute({{2, RTNH_F_ONLINK}})}}, true},
        {"hop over an unknown link", {{{2, working}}, {defaultRoute({{7, 0}})}}, false},
        {"subnet route only", {{{2, working}}, {subnetRoute}}, false},
        {"unreachable default", {{{2, working}}, {unreachableDefault}}, false},
        {"default in the local table",
         {{{2, working}}, {defaultRoute({{2, 0}}, RT_TABLE_LOCAL)}},
         false},
        {"default in a policy table", {{{2, working}}, {defaultRoute({{2, 0}}, 100)}}, true},
        {"route without hops", {{{2, working}}, {defaultRoute({})}}, false},
        {"multipath with one working hop",
         {{{2, IFF_UP}, {3, working}}, {defaultRoute({{2, RTNH_F_LINKDOWN}, {3, 0}})}},
         true},
        {"multipath with every hop down",
         {{{2, IFF_UP}, {3, IFF_UP}}, {defaultRoute({{2, RTNH_F_LINKDOWN}, {3, RTNH_F_LINKDOWN}})}},
         false},
        {"a broken default next to a working one",
         {{{1, working | IFF_LOOPBACK}, {2, working}},
          {defaultRoute({{1, 0}}), defaultRoute({{2, 0}})}},
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hasUsableDefaultRoute(c.snapshot), c.reachable) << c.name;
        EXPECT_EQ(reachabilityFlags(c.snapshot),
                  c.reachable ? kSCNetworkReachabilityFlagsReachable : SCNetworkReachabilityFlags{})
            << c.name;
    }
}
