#pragma once

#include "platform/reachability/ReachabilityFlagsSource.h"

#include <cstddef>
#include <memory>

namespace platform {

// A test double for the routing table: tests set the flags a fetch reports,
// fire the platform's change callback by hand and make fetches or watches
// fail with a chosen error code. Any number of targets may share one.
class FakeReachabilitySource final : public ReachabilityFlagsSource {
public:
    explicit FakeReachabilitySource(
        SCNetworkReachabilityFlags flags = kSCNetworkReachabilityFlagsReachable);

    // What later fetches report; no callback fires.
    void setFlags(SCNetworkReachabilityFlags flags);
    // Reports `flags` to every watching target, as the platform does after a
    // change, even when they equal the previous ones. Returns once every
    // target has handed the callback to its dispatch queue.
    void fireCallback(SCNetworkReachabilityFlags flags);
    // A non-zero code makes every later fetch, or watch, fail with it.
    void failFetches(int code);
    void failWatches(int code);

    std::size_t activeWatches() const;
    std::size_t fetchCount() const;

    SCNetworkReachabilityFlags currentFlags() override;
    std::unique_ptr<Watch> watch(ChangeHandler handler) override;

private:
    struct State;
    class FakeWatch;
    std::shared_ptr<State> state_;
};

} // namespace platform
