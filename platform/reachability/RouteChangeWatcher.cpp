#include "platform/reachability/RouteChangeWatcher.h"

#include "platform/reachability/RoutingTableReader.h"

#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace platform {
namespace {

constexpr std::uint32_t watchedGroups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

UniqueFd makeEventFd() {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) {
        throw std::system_error(errno, std::system_category(), "eventfd");
    }
    return fd;
}

} // namespace

RouteChangeWatcher::RouteChangeWatcher(ReachabilityFlagsSource::ChangeHandler handler)
    : handler_(std::move(handler)), announcements_(watchedGroups), stop_(makeEventFd()) {
    // The baseline is read after subscribing, so no change falls between the two.
    lastFlags_ = readFlags();
    thread_ = LibraryThread("davaror.routes", [this] { run(); });
}

RouteChangeWatcher::~RouteChangeWatcher() {
    if (!thread_.runsInThisProcess()) {
        return;
    }
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow.
    [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

std::optional<SCNetworkReachabilityFlags> RouteChangeWatcher::readFlags() {
    try {
        NetlinkSocket queries;
        return reachabilityFlags(readRoutingTable(queries));
    } catch (const std::system_error&) {
        // Unknown until the next announcement lets us read again.
        return std::nullopt;
    }
}

void RouteChangeWatcher::run() {
    pollfd watched[] = {{announcements_.fd(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        if (watched[0].revents == 0) {
            continue;
        }
        try {
            announcements_.discardPending();
        } catch (const std::system_error&) {
            return;
        }
        const auto flags = readFlags();
        if (flags && flags != lastFlags_) {
            lastFlags_ = flags;
            handler_(*flags);
        }
    }
}

} // namespace platform
