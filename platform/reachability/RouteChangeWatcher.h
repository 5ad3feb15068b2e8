#pragma once

#include "platform/core/LibraryThread.h"
#include "platform/core/UniqueFd.h"
#include "platform/reachability/NetlinkSocket.h"
#include "platform/reachability/ReachabilityFlagsSource.h"

#include <optional>

namespace platform {

// Listens to the kernel's link and route announcements on its own thread and,
// after each burst of them, reads the routing state again and reports the
// zero address's flags when they differ from the last ones seen. Destroying
// the watcher wakes the thread through an eventfd and joins it, so stopping
// never waits for the next network change. Between changes it holds two
// descriptors: the socket that listens and the eventfd; each reading opens
// a socket of its own and closes it.
class RouteChangeWatcher final : public ReachabilityFlagsSource::Watch {
public:
    // Throws std::system_error when the netlink socket or the eventfd cannot
    // be had.
    explicit RouteChangeWatcher(ReachabilityFlagsSource::ChangeHandler handler);
    ~RouteChangeWatcher() override;

private:
    void run();
    std::optional<SCNetworkReachabilityFlags> readFlags();

    const ReachabilityFlagsSource::ChangeHandler handler_;
    NetlinkSocket announcements_;
    UniqueFd stop_;
    std::optional<SCNetworkReachabilityFlags>
        lastFlags_; // touched by the thread only, once started
    LibraryThread thread_;
};

} // namespace platform
