#pragma once

#include "platform/reachability/ReachabilityFlagsSource.h"

#include <functional>
#include <memory>

namespace platform {

// Makes the source of a new address or name target; may throw
// std::system_error, whose code the failed creation reports.
using ReachabilitySourceFactory = std::function<std::shared_ptr<ReachabilityFlagsSource>()>;

// The source for a new address or name target: the routing table, unless a
// ScopedReachabilitySourceFactory is alive.
std::shared_ptr<ReachabilityFlagsSource> makeReachabilitySource();

// While alive, address and name targets get their sources from `factory`, so
// tests can drive code that creates its own targets. Scopes nest.
class ScopedReachabilitySourceFactory {
public:
    explicit ScopedReachabilitySourceFactory(ReachabilitySourceFactory factory);
    ~ScopedReachabilitySourceFactory();
    ScopedReachabilitySourceFactory(const ScopedReachabilitySourceFactory&) = delete;
    ScopedReachabilitySourceFactory& operator=(const ScopedReachabilitySourceFactory&) = delete;

private:
    ReachabilitySourceFactory previous_;
};

} // namespace platform
