#pragma once

#include "platform/reachability/SCNetworkReachabilityFlags.h"

#include <string>

namespace davaror {

// Ten characters for debugging: "-", then R, a blank, then c, t, i, C, D, l
// and d, each letter where its flag (reachable, connection required,
// transient connection, intervention required, connection on traffic,
// connection on demand, is local address, is direct) is set and "-" otherwise.
std::string description(platform::SCNetworkReachabilityFlags flags);

} // namespace davaror
