#include "platform/reachability/ReachabilitySourceFactory.h"

#include "platform/core/ForkSafeMutex.h"
#include "platform/reachability/RoutingTableFlagsSource.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

platform::ForkSafeMutex factoryMutex;
ReachabilitySourceFactory replacement; // guarded by factoryMutex

} // namespace

std::shared_ptr<ReachabilityFlagsSource> makeReachabilitySource() {
    ReachabilitySourceFactory factory;
    {
        std::lock_guard lock(factoryMutex);
        factory = replacement;
    }
    if (factory) {
        return factory();
    }
    return std::make_shared<RoutingTableFlagsSource>();
}

ScopedReachabilitySourceFactory::ScopedReachabilitySourceFactory(
    ReachabilitySourceFactory factory) {
    std::lock_guard lock(factoryMutex);
    previous_ = std::exchange(replacement, std::move(factory));
}

ScopedReachabilitySourceFactory::~ScopedReachabilitySourceFactory() {
    std::lock_guard lock(factoryMutex);
    replacement = std::move(previous_);
}

} // namespace platform
