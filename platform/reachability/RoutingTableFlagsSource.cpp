#include "platform/reachability/RoutingTableFlagsSource.h"

#include "platform/reachability/NetlinkSocket.h"
#include "platform/reachability/RouteChangeWatcher.h"
#include "platform/reachability/RoutingTableReader.h"

namespace platform {

SCNetworkReachabilityFlags RoutingTableFlagsSource::currentFlags() {
    NetlinkSocket socket;
    return reachabilityFlags(readRoutingTable(socket));
}

std::unique_ptr<ReachabilityFlagsSource::Watch>
RoutingTableFlagsSource::watch(ChangeHandler handler) {
    return std::make_unique<RouteChangeWatcher>(std::move(handler));
}

} // namespace platform
