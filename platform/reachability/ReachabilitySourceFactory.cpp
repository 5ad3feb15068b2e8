#include "platform/reachability/ReachabilitySourceFactory.h"

#include "platform/core/ForkSafeMutex.h"
#include "platform/reachability/RoutingTableFlagsSource.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

// Made at first use, not at load: loading the library registers nothing.
struct Replacement {
    ForkSafeMutex mutex;
    ReachabilitySourceFactory factory; // guarded by mutex
};

Replacement& replacement() {
    static auto* const instance = new Replacement;
    return *instance;
}

} // namespace

std::shared_ptr<ReachabilityFlagsSource> makeReachabilitySource() {
    ReachabilitySourceFactory factory;
    {
        std::lock_guard lock(replacement().mutex);
        factory = replacement().factory;
    }
    if (factory) {
        return factory();
    }
    return std::make_shared<RoutingTableFlagsSource>();
}

ScopedReachabilitySourceFactory::ScopedReachabilitySourceFactory(
    ReachabilitySourceFactory factory) {
    std::lock_guard lock(replacement().mutex);
    previous_ = std::exchange(replacement().factory, std::move(factory));
}

ScopedReachabilitySourceFactory::~ScopedReachabilitySourceFactory() {
    std::lock_guard lock(replacement().mutex);
    replacement().factory = std::move(previous_);
}

} // namespace platform
