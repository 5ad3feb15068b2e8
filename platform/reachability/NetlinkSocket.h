#pragma once

#include "platform/core/UniqueFd.h"

#include <linux/netlink.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace platform {

// A routing netlink socket. Without groups it serves request and dump
// replies; with groups it also receives the kernel's change announcements.
// Failures throw std::system_error.
class NetlinkSocket {
public:
    explicit NetlinkSocket(std::uint32_t groups = 0);

    int fd() const { return fd_.get(); }

    // Sends a dump request of `type` with `request` as its body and calls
    // `onMessage` for each message of the reply until the dump ends.
    void dump(std::uint16_t type, std::span<const std::byte> request,
              const std::function<void(const nlmsghdr&)>& onMessage);

    // Reads and drops every message already queued, without blocking. A
    // receive queue that overflowed counts as read: the caller looks at the
    // whole state afterwards anyway.
    void discardPending();

private:
    UniqueFd fd_;
    std::uint32_t sequence_ = 0;
    std::vector<std::byte> buffer_;
};

} // namespace platform
