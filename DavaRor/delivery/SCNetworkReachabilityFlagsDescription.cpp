#include "DavaRor/delivery/SCNetworkReachabilityFlagsDescription.h"

using namespace platform;

namespace davaror {

std::string description(SCNetworkReachabilityFlags flags) {
    const auto letter = [flags](SCNetworkReachabilityFlags flag, char set) {
        return (flags & flag) ? set : '-';
    };
    // The leading place marks a cellular link, which this platform never has.
    return {'-',
            letter(kSCNetworkReachabilityFlagsReachable, 'R'),
            ' ',
            letter(kSCNetworkReachabilityFlagsConnectionRequired, 'c'),
            letter(kSCNetworkReachabilityFlagsTransientConnection, 't'),
            letter(kSCNetworkReachabilityFlagsInterventionRequired, 'i'),
            letter(kSCNetworkReachabilityFlagsConnectionOnTraffic, 'C'),
            letter(kSCNetworkReachabilityFlagsConnectionOnDemand, 'D'),
            letter(kSCNetworkReachabilityFlagsIsLocalAddress, 'l'),
            letter(kSCNetworkReachabilityFlagsIsDirect, 'd')};
}

} // namespace davaror
