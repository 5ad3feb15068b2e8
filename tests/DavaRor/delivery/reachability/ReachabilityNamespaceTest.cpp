#include "PrivateNetworkNamespace.h"

#include "DavaRor/delivery/Reachability.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using davaror::description;
using davaror::Reachability;

// The monitor on the real routing state: this test runs inside a private
// network namespace of its own (see PrivateNetworkNamespace.h), where it
// creates a veth link and adds and breaks a default route over it.

using namespace platform;
using namespace std::chrono_literals;

TEST(ReachabilityNamespace, DefaultRouteAndLinkStateDriveTheClosuresOncePerChange) {
    if (!netns::insidePrivateNetworkNamespace()) {
        netns::runCurrentTestInPrivateNetworkNamespace();
        return;
    }
    if (!netns::createVethPair()) {
        GTEST_SKIP() << "this kernel offers no veth links";
    }
    // As the client creates it.
    auto monitor = Reachability::create(DispatchQoS::defaultQoS, nullptr, &MainQueue::shared());
    std::vector<std::string> calls; // touched on the main queue only
    std::size_t posted = 0;
    monitor->setWhenReachable([&](Reachability& m) {
        EXPECT_TRUE(MainQueue::shared().isCurrent());
        calls.push_back(std::string("reachable ") + std::string(description(m.connection())));
    });
    monitor->setWhenUnreachable([&](Reachability& m) {
        EXPECT_TRUE(MainQueue::shared().isCurrent());
        calls.push_back(std::string("unreachable ") + std::string(description(m.connection())));
    });
    auto observation = NotificationCenter::defaultCenter().addObserver(
        std::string(Reachability::reachabilityChanged), [&](const Notification& n) {
            if (n.object == monitor.get()) {
                ++posted;
            }
        });
    const auto callsNow = [&] {
        std::vector<std::string> copy;
        MainQueue::shared().async([&] { copy = calls; });
        MainQueue::shared().drain();
        return copy;
    };

    monitor->startNotifier();
    ASSERT_TRUE(pumpMainQueueUntil([&] { return callsNow().size() == 1; }));

    ASSERT_TRUE(netns::ip({"route", "add", "default", "dev", "v0"}));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return callsNow().size() == 2; }));

    ASSERT_TRUE(netns::ip({"link", "set", "v1", "down"}));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return callsNow().size() == 3; }));

    // A change that keeps the machine offline reports nothing; anything it
    // reported would arrive before the route's return below.
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "mtu", "1400"}));
    ASSERT_TRUE(netns::ip({"link", "set", "v1", "up"}));
    ASSERT_TRUE(pumpMainQueueUntil([&] { return callsNow().size() == 4; }));

    EXPECT_EQ(callsNow(), (std::vector<std::string>{
                              "unreachable No Connection", // the state at start: no route
                              "reachable WiFi",            // default route over v0
                              "unreachable No Connection", // link down, route linkdown
                              "reachable WiFi",            // link back
                          }));
    monitor->stopNotifier();
    MainQueue::shared().drain();
    EXPECT_EQ(posted, 4u);
}
