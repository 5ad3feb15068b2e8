#pragma once

#include "platform/reachability/ReachabilityFlagsSource.h"

namespace platform {

// Flags of the zero address, computed from the kernel's links and routes of
// the creating thread's network namespace; changes are announced by netlink.
class RoutingTableFlagsSource final : public ReachabilityFlagsSource {
public:
    SCNetworkReachabilityFlags currentFlags() override;
    std::unique_ptr<Watch> watch(ChangeHandler handler) override;
};

} // namespace platform
