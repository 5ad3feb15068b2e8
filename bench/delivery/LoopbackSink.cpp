#include "LoopbackSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace deliverybench {

namespace {

constexpr std::string_view okReply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

[[noreturn]] void throwSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Connection {
    platform::UniqueFd socket;
    std::string received;
};

std::size_t contentLength(std::string_view head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto field = lower.find("\r\ncontent-length:");
    if (field == std::string::npos) {
        return 0;
    }
    auto value = std::string_view(lower).substr(field + 17);
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    std::size_t length = 0;
    std::from_chars(value.data(), value.data() + value.size(), length);
    return length;
}

// The length of the first whole request in `received`, or none while it is
// still incomplete. Bodies are framed by Content-Length, as the client sends them.
std::optional<std::size_t> wholeRequestLength(std::string_view received) {
    const auto headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t length = headEnd + 4 + contentLength(received.substr(0, headEnd));
    if (received.size() < length) {
        return std::nullopt;
    }
    return length;
}

bool sendAll(int socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads what arrived and answers every whole request; false once the
// connection is finished.
bool answerArrivedRequests(Connection& connection, std::atomic<std::uint64_t>& served) {
    char buffer[16384];
    const ssize_t count = ::recv(connection.socket.get(), buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) {
        return true;
    }
    if (count <= 0) {
        return false;
    }
    connection.received.append(buffer, static_cast<std::size_t>(count));
    while (const auto length = wholeRequestLength(connection.received)) {
        connection.received.erase(0, *length);
        if (!sendAll(connection.socket.get(), okReply)) {
            return false;
        }
        served.fetch_add(1);
    }
    return true;
}

} // namespace

LoopbackSink::LoopbackSink()
    : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      stopEvent_(::eventfd(0, EFD_CLOEXEC)) {
    if (!listener_ || !stopEvent_) {
        throwSystemError("loopback sink");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 16) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throwSystemError("loopback sink listener");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackSink::~LoopbackSink() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopEvent_.get(), &one, sizeof one);
    thread_.join();
}

std::string LoopbackSink::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void LoopbackSink::serve() {
    std::vector<Connection> connections;
    std::vector<pollfd> watched;
    for (;;) {
        watched.assign({{stopEvent_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
        for (const auto& connection : connections) {
            watched.push_back({connection.socket.get(), POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[0].revents != 0) {
            return;
        }
        std::vector<bool> finished(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (watched[i + 2].revents != 0) {
                finished[i] = !answerArrivedRequests(connections[i], served_);
            }
        }
        for (std::size_t i = connections.size(); i-- > 0;) {
            if (finished[i]) {
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (watched[1].revents & POLLIN) {
            const int accepted = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                connections.push_back({platform::UniqueFd(accepted), {}});
            }
        }
    }
}

} // namespace deliverybench
