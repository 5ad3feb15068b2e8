#include "platform/reachability/NetlinkSocket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform {
namespace {

// Large enough for any single dump datagram the kernel builds.
constexpr std::size_t receiveBufferSize = 64 * 1024;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

// Walks the messages of one datagram; a truncated tail is ignored.
void forEachMessage(std::span<const std::byte> datagram,
                    const std::function<void(const nlmsghdr&)>& visit) {
    while (datagram.size() >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, datagram.data(), sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size()) {
            return;
        }
        visit(*reinterpret_cast<const nlmsghdr*>(datagram.data()));
        datagram =
            datagram.subspan(std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size()));
    }
}

void throwDumpError(const nlmsghdr& reply) {
    if (reply.nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
        throw std::system_error(EPROTO, std::system_category(), "netlink dump");
    }
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(&reply));
    throw std::system_error(-error->error, std::system_category(), "netlink dump");
}

} // namespace

NetlinkSocket::NetlinkSocket(std::uint32_t groups)
    : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)),
      buffer_(receiveBufferSize) {
    if (!fd_) {
        throwErrno("netlink socket");
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throwErrno("netlink bind");
    }
}

void NetlinkSocket::dump(std::uint16_t type, std::span<const std::byte> request,
                         const std::function<void(const nlmsghdr&)>& onMessage) {
    const std::uint32_t sequence = ++sequence_;
    std::vector<std::byte> message(NLMSG_SPACE(request.size()));
    auto* header = reinterpret_cast<nlmsghdr*>(message.data());
    header->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(request.size()));
    header->nlmsg_type = type;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = sequence;
    std::memcpy(NLMSG_DATA(header), request.data(), request.size());

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_.get(), message.data(), header->nlmsg_len, 0,
                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        throwErrno("netlink send");
    }

    for (;;) {
        const ssize_t received = ::recv(fd_.get(), buffer_.data(), buffer_.size(), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("netlink receive");
        }
        bool done = false;
        forEachMessage(std::span(buffer_.data(), static_cast<std::size_t>(received)),
                       [&](const nlmsghdr& reply) {
                           if (done || reply.nlmsg_seq != sequence) {
                               return;
                           }
                           if (reply.nlmsg_type == NLMSG_DONE) {
                               done = true;
                           } else if (reply.nlmsg_type == NLMSG_ERROR) {
                               throwDumpError(reply);
                           } else {
                               onMessage(reply);
                           }
                       });
        if (done) {
            return;
        }
    }
}

void NetlinkSocket::discardPending() {
    for (;;) {
        if (::recv(fd_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT) >= 0) {
            continue;
        }
        if (errno == EINTR || errno == ENOBUFS) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        throwErrno("netlink receive");
    }
}

} // namespace platform
