#include "platform/reachability/RoutingTableReader.h"

#include "platform/reachability/NetlinkSocket.h"

#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

namespace platform {
namespace {

template <typename T> std::span<const std::byte> bytesOf(const T& value) {
    return std::as_bytes(std::span(&value, 1));
}

template <typename T> bool readBody(const nlmsghdr& message, T& body) {
    if (message.nlmsg_len < NLMSG_LENGTH(sizeof(T))) {
        return false;
    }
    std::memcpy(&body, NLMSG_DATA(&message), sizeof(T));
    return true;
}

// The attributes that follow a fixed body of `bodySize` bytes.
std::span<const std::byte> attributesOf(const nlmsghdr& message, std::size_t bodySize) {
    const std::size_t offset = NLMSG_LENGTH(NLMSG_ALIGN(bodySize));
    if (message.nlmsg_len < offset) {
        return {};
    }
    const auto* start = reinterpret_cast<const std::byte*>(&message);
    return {start + offset, message.nlmsg_len - offset};
}

template <typename Visit>
void forEachAttribute(std::span<const std::byte> attributes, Visit visit) {
    while (attributes.size() >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, attributes.data(), sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > attributes.size()) {
            return;
        }
        visit(attribute.rta_type,
              attributes.subspan(RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        attributes = attributes.subspan(
            std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), attributes.size()));
    }
}

template <typename T> bool readValue(std::span<const std::byte> payload, T& value) {
    if (payload.size() < sizeof(T)) {
        return false;
    }
    std::memcpy(&value, payload.data(), sizeof(T));
    return true;
}

std::vector<NexthopRecord> multipathHops(std::span<const std::byte> payload) {
    std::vector<NexthopRecord> hops;
    while (payload.size() >= sizeof(rtnexthop)) {
        rtnexthop hop;
        std::memcpy(&hop, payload.data(), sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > payload.size()) {
            break;
        }
        hops.push_back({hop.rtnh_ifindex, hop.rtnh_flags});
        payload = payload.subspan(std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), payload.size()));
    }
    return hops;
}

void addLink(const nlmsghdr& message, RoutingTableSnapshot& snapshot) {
    ifinfomsg body;
    if (message.nlmsg_type == RTM_NEWLINK && readBody(message, body)) {
        snapshot.links.push_back({body.ifi_index, body.ifi_flags});
    }
}

void addRoute(const nlmsghdr& message, RoutingTableSnapshot& snapshot) {
    rtmsg body;
    if (message.nlmsg_type != RTM_NEWROUTE || !readBody(message, body)) {
        return;
    }
    RouteRecord route;
    route.type = body.rtm_type;
    route.destinationLength = body.rtm_dst_len;
    route.table = body.rtm_table;
    int outputInterface = 0;
    bool hasOutputInterface = false;
    forEachAttribute(attributesOf(message, sizeof body),
                     [&](unsigned short type, std::span<const std::byte> payload) {
                         switch (type) {
                         case RTA_TABLE:
                             readValue(payload, route.table);
                             break;
                         case RTA_OIF:
                             hasOutputInterface = readValue(payload, outputInterface);
                             break;
                         case RTA_MULTIPATH:
                             route.nexthops = multipathHops(payload);
                             break;
                         default:
                             break;
                         }
                     });
    // A single-path route keeps its hop's state in the route's own flags.
    if (hasOutputInterface) {
        route.nexthops.push_back({outputInterface, body.rtm_flags});
    }
    snapshot.routes.push_back(std::move(route));
}

} // namespace

RoutingTableSnapshot readRoutingTable(NetlinkSocket& socket) {
    // A change during a dump may leave it inconsistent (NLM_F_DUMP_INTR); the
    // same change is announced to the watcher, which reads everything again.
    RoutingTableSnapshot snapshot;
    ifinfomsg linkRequest{};
    linkRequest.ifi_family = AF_UNSPEC;
    socket.dump(RTM_GETLINK, bytesOf(linkRequest),
                [&](const nlmsghdr& message) { addLink(message, snapshot); });
    for (unsigned char family : {AF_INET, AF_INET6}) {
        rtmsg routeRequest{};
        routeRequest.rtm_family = family;
        socket.dump(RTM_GETROUTE, bytesOf(routeRequest),
                    [&](const nlmsghdr& message) { addRoute(message, snapshot); });
    }
    return snapshot;
}

} // namespace platform
