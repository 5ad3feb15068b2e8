#include "PrivateNetworkNamespace.h"

#include "platform/core/SerialQueue.h"
#include "platform/reachability/NetlinkSocket.h"
#include "platform/reachability/RoutingTableReader.h"
#include "platform/reachability/SCNetworkReachability.h"

#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// These tests change links and routes, so each runs inside a private network
// namespace of its own (see PrivateNetworkNamespace.h).

using namespace platform;
using namespace std::chrono_literals;

namespace {

SCNetworkReachabilityRef zeroAddressTarget() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&zero));
}

SCNetworkReachabilityFlags currentFlags(const SCNetworkReachabilityRef& target) {
    SCNetworkReachabilityFlags flags{};
    EXPECT_TRUE(SCNetworkReachabilityGetFlags(target, &flags)) << "SCError " << SCError();
    return flags;
}

// The kernel applies a peer's carrier change to the other end a moment after
// `ip` returns; waits until link `name` and the routes over it show `running`.
void waitForCarrier(const char* name, bool running) {
    const int index = static_cast<int>(if_nametoindex(name));
    ASSERT_NE(index, 0) << name;
    NetlinkSocket socket;
    const auto settled = [&] {
        const auto snapshot = readRoutingTable(socket);
        for (const auto& link : snapshot.links) {
            if (link.index == index && ((link.flags & IFF_RUNNING) != 0) != running) {
                return false;
            }
        }
        for (const auto& route : snapshot.routes) {
            for (const auto& hop : route.nexthops) {
                if (hop.interfaceIndex == index &&
                    ((hop.flags & RTNH_F_LINKDOWN) == 0) != running) {
                    return false;
                }
            }
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!settled()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << name << " did not settle";
        std::this_thread::sleep_for(1ms);
    }
}

// Collects the flags the platform reports, for waiting on them.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SCNetworkReachabilityFlags> flags;

    static void callout(const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags flags,
                        void* info) {
        auto* self = static_cast<Deliveries*>(info);
        {
            std::lock_guard lock(self->mutex);
            self->flags.push_back(flags);
        }
        self->changed.notify_all();
    }

    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return flags.size() >= count; });
    }

    std::vector<SCNetworkReachabilityFlags> seen() {
        std::lock_guard lock(mutex);
        return flags;
    }
};

} // namespace

TEST(RoutingTableNamespace, ZeroAddressFlagsFollowDefaultRoutesAndLinkState) {
    if (!netns::insidePrivateNetworkNamespace()) {
        netns::runCurrentTestInPrivateNetworkNamespace();
        return;
    }
    auto target = zeroAddressTarget();
    ASSERT_TRUE(target);
    EXPECT_EQ(currentFlags(target), SCNetworkReachabilityFlags{}) << "a fresh namespace";

    ASSERT_TRUE(netns::ip({"link", "set", "lo", "up"}));
    ASSERT_TRUE(netns::ip({"route", "add", "default", "dev", "lo"}));
    EXPECT_EQ(currentFlags(target), SCNetworkReachabilityFlags{}) << "the loopback leads nowhere";
    ASSERT_TRUE(netns::ip({"route", "del", "default", "dev", "lo"}));

    if (!netns::createVethPair()) {
        GTEST_SKIP() << "this kernel offers no veth links";
    }
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("v0", true));
    EXPECT_EQ(currentFlags(target), SCNetworkReachabilityFlags{}) << "a link without a route";
    ASSERT_TRUE(netns::ip({"route", "add", "default", "dev", "v0"}));
    EXPECT_EQ(currentFlags(target), kSCNetworkReachabilityFlagsReachable);
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "down"}));
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("v0", false));
    EXPECT_EQ(currentFlags(target), SCNetworkReachabilityFlags{}) << "carrier lost";
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "up"}));
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("v0", true));
    EXPECT_EQ(currentFlags(target), kSCNetworkReachabilityFlagsReachable);
    ASSERT_TRUE(netns::ip({"route", "del", "default", "dev", "v0"}));

    ASSERT_TRUE(netns::ip({"-6", "route", "add", "default", "dev", "v0"}));
    EXPECT_EQ(currentFlags(target), kSCNetworkReachabilityFlagsReachable) << "IPv6 alone";
    ASSERT_TRUE(netns::ip({"-6", "route", "del", "default", "dev", "v0"}));

    ASSERT_TRUE(netns::ip({"link", "add", "w0", "type", "veth", "peer", "name", "w1"}) &&
                netns::ip({"link", "set", "w0", "up"}) && netns::ip({"link", "set", "w1", "up"}));
    ASSERT_TRUE(
        netns::ip({"route", "add", "default", "nexthop", "dev", "v0", "nexthop", "dev", "w0"}));
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("w0", true));
    EXPECT_EQ(currentFlags(target), kSCNetworkReachabilityFlagsReachable);
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "down"}));
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("v0", false));
    EXPECT_EQ(currentFlags(target), kSCNetworkReachabilityFlagsReachable) << "one hop left";
    ASSERT_TRUE(netns::ip({"link", "set", "w1", "down"}));
    ASSERT_NO_FATAL_FAILURE(waitForCarrier("w0", false));
    EXPECT_EQ(currentFlags(target), SCNetworkReachabilityFlags{}) << "every hop down";
}

TEST(RoutingTableNamespace, WatcherReportsEachChangeOnceAndStopsAtOnce) {
    if (!netns::insidePrivateNetworkNamespace()) {
        netns::runCurrentTestInPrivateNetworkNamespace();
        return;
    }
    if (!netns::createVethPair()) {
        GTEST_SKIP() << "this kernel offers no veth links";
    }
    auto target = zeroAddressTarget();
    ASSERT_TRUE(target);
    SerialQueue queue("test.reachability.watch");
    Deliveries deliveries;
    SCNetworkReachabilityContext context;
    context.info = std::shared_ptr<void>(&deliveries, [](void*) {});
    ASSERT_TRUE(SCNetworkReachabilitySetCallback(target, &Deliveries::callout, &context));
    ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, &queue)) << "SCError " << SCError();

    ASSERT_TRUE(netns::ip({"route", "add", "default", "dev", "v0"}));
    ASSERT_TRUE(deliveries.waitForCount(1));
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "down"}));
    ASSERT_TRUE(deliveries.waitForCount(2));
    // Changes that leave the flags as they are report nothing: anything they
    // reported would arrive before the next real change.
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "mtu", "1400"}));
    ASSERT_TRUE(netns::ip({"link", "add", "w0", "type", "veth", "peer", "name", "w1"}));
    ASSERT_TRUE(netns::ip({"link", "set", "w0", "up"}));
    ASSERT_TRUE(netns::ip({"route", "add", "default", "dev", "v0", "metric", "5"}));
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "up"}));
    ASSERT_TRUE(deliveries.waitForCount(3));

    // Unscheduling does not wait for another network change.
    ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(target, nullptr));
    queue.sync([] {});
    EXPECT_EQ(deliveries.seen(),
              (std::vector<SCNetworkReachabilityFlags>{kSCNetworkReachabilityFlagsReachable,
                                                       SCNetworkReachabilityFlags{},
                                                       kSCNetworkReachabilityFlagsReachable}));
}
