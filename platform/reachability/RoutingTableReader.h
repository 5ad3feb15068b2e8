#pragma once

#include "platform/reachability/RoutingTableSnapshot.h"

namespace platform {

class NetlinkSocket;

// Reads the links and the IPv4 and IPv6 routes of the calling thread's network
// namespace over `socket`. Throws std::system_error when netlink fails.
RoutingTableSnapshot readRoutingTable(NetlinkSocket& socket);

} // namespace platform
