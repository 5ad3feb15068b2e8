#pragma once

#include <cstdint>

namespace platform {

// The published reachability flag bits, with their published values, so that
// code written against the original interface reads the same here.
enum SCNetworkReachabilityFlags : std::uint32_t {
    kSCNetworkReachabilityFlagsTransientConnection = 1u << 0,
    kSCNetworkReachabilityFlagsReachable = 1u << 1,
    kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2,
    kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3,
    kSCNetworkReachabilityFlagsInterventionRequired = 1u << 4,
    kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5,
    kSCNetworkReachabilityFlagsIsLocalAddress = 1u << 16,
    kSCNetworkReachabilityFlagsIsDirect = 1u << 17,
};

constexpr SCNetworkReachabilityFlags operator|(SCNetworkReachabilityFlags a,
                                               SCNetworkReachabilityFlags b) {
    return static_cast<SCNetworkReachabilityFlags>(static_cast<std::uint32_t>(a) |
                                                   static_cast<std::uint32_t>(b));
}

constexpr SCNetworkReachabilityFlags operator&(SCNetworkReachabilityFlags a,
                                               SCNetworkReachabilityFlags b) {
    return static_cast<SCNetworkReachabilityFlags>(static_cast<std::uint32_t>(a) &
                                                   static_cast<std::uint32_t>(b));
}

constexpr SCNetworkReachabilityFlags& operator|=(SCNetworkReachabilityFlags& a,
                                                 SCNetworkReachabilityFlags b) {
    return a = a | b;
}

} // namespace platform
