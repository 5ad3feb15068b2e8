#include "DavaRor/delivery/Reachability.h"
#include "DavaRor/delivery/SCNetworkReachabilityFlagsDescription.h"
#include "platform/reachability/FakeReachabilitySource.h"

#include <gtest/gtest.h>

using davaror::description;
using davaror::Reachability;

using namespace platform;
using Connection = Reachability::Connection;

namespace {

constexpr auto R = kSCNetworkReachabilityFlagsReachable;
constexpr auto c = kSCNetworkReachabilityFlagsConnectionRequired;
constexpr auto t = kSCNetworkReachabilityFlagsTransientConnection;
constexpr auto i = kSCNetworkReachabilityFlagsInterventionRequired;
constexpr auto C = kSCNetworkReachabilityFlagsConnectionOnTraffic;
constexpr auto D = kSCNetworkReachabilityFlagsConnectionOnDemand;
constexpr auto l = kSCNetworkReachabilityFlagsIsLocalAddress;
constexpr auto d = kSCNetworkReachabilityFlagsIsDirect;
constexpr SCNetworkReachabilityFlags none{};

Connection connectionOf(SCNetworkReachabilityFlags flags) {
    auto source = std::make_shared<FakeReachabilitySource>(flags);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                        DispatchQoS::defaultQoS, nullptr, nullptr);
    return monitor->connection();
}

} // namespace

TEST(ReachabilityConnection, FollowsTheFlagTable) {
    const struct {
        SCNetworkReachabilityFlags flags;
        Connection expected;
    } table[] = {
        {none, Connection::unavailable},
        {c | C | D, Connection::unavailable}, // not reachable, whatever else
        {R, Connection::wifi},
        {R | c, Connection::unavailable},
        {R | c | D, Connection::wifi},
        {R | c | C, Connection::wifi},
        {R | c | D | i, Connection::unavailable},
        {R | c | C | i, Connection::unavailable},
        {R | D | i, Connection::wifi}, // no connection required
        {R | t | l | d, Connection::wifi},
        {R | c | t, Connection::unavailable},
    };
    for (const auto& row : table) {
        EXPECT_EQ(connectionOf(row.flags), row.expected) << description(row.flags);
    }
}

TEST(ReachabilityConnection, AnUnreadableStateIsUnavailable) {
    auto source = std::make_shared<FakeReachabilitySource>(R);
    source->failFetches(EIO);
    auto monitor = Reachability::create(SCNetworkReachabilityCreateWithSource("fake", source),
                                        DispatchQoS::defaultQoS, nullptr, nullptr);
    EXPECT_EQ(monitor->connection(), Connection::unavailable);
    EXPECT_FALSE(monitor->flags());
    source->failFetches(0);
    EXPECT_EQ(monitor->connection(), Connection::wifi) << "fetched again while flags are none";
    EXPECT_EQ(monitor->currentReachabilityStatus(), Connection::wifi);
    EXPECT_EQ(monitor->currentReachabilityString(), "WiFi");
    const auto fetches = source->fetchCount();
    monitor->connection();
    EXPECT_EQ(source->fetchCount(), fetches) << "known flags are not fetched again";
}

// Wi-Fi and "No Connection" show in the notifier's tests.
TEST(ReachabilityConnection, TextForms) {
    EXPECT_EQ(description(Connection::none), "No Connection");
    EXPECT_EQ(description(Connection::cellular), "Cellular");
    EXPECT_EQ(description(Reachability::NetworkStatus::reachableViaWWAN), "Cellular");
    EXPECT_EQ(description(none), "-- -------");
    EXPECT_EQ(description(R | c | t | i | C | D | l | d), "-R ctiCDld");
    EXPECT_EQ(description(t | l), "-- -t---l-");
}
