#include "support/LoopbackHttpServer.h"

#include "support/HttpRequestParser.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace testsupport {

namespace {

[[noreturn]] void throwSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

std::string responseBytes(const ScriptedReply& reply) {
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\n";
    response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    response += "Connection: close\r\n";
    for (const auto& [name, value] : reply.headers) {
        response += name + ": " + value + "\r\n";
    }
    response += "\r\n" + reply.body;
    return response;
}

} // namespace

ReplyGate::ReplyGate() : fd_(::eventfd(0, EFD_CLOEXEC)) {
    if (fd_ < 0) {
        throwSystemError("eventfd");
    }
}

ReplyGate::~ReplyGate() {
    ::close(fd_);
}

void ReplyGate::open() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

ScriptedReply ScriptedReply::respond(int status, std::string body) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

ScriptedReply ScriptedReply::raw(std::string bytes) {
    ScriptedReply reply;
    reply.action = Action::respondRaw;
    reply.body = std::move(bytes);
    return reply;
}

ScriptedReply ScriptedReply::closeWithoutReply() {
    ScriptedReply reply;
    reply.action = Action::closeWithoutReply;
    return reply;
}

ScriptedReply ScriptedReply::reset() {
    ScriptedReply reply;
    reply.action = Action::reset;
    return reply;
}

ScriptedReply ScriptedReply::hang() {
    ScriptedReply reply;
    reply.action = Action::hang;
    return reply;
}

ScriptedReply ScriptedReply::after(std::chrono::milliseconds wait) const {
    ScriptedReply reply = *this;
    reply.delay = wait;
    return reply;
}

ScriptedReply ScriptedReply::trickled(int count, std::chrono::milliseconds interval) const {
    ScriptedReply reply = *this;
    reply.pieces = count;
    reply.pace = interval;
    return reply;
}

ScriptedReply ScriptedReply::heldBy(std::shared_ptr<ReplyGate> gate) const {
    ScriptedReply reply = *this;
    reply.gate = std::move(gate);
    return reply;
}

LoopbackHttpServer::LoopbackHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        throwSystemError("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listener_);
        throw std::system_error(error, std::generic_category(), "loopback listener");
    }
    port_ = ntohs(address.sin_port);
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopEvent_ < 0) {
        const int error = errno;
        ::close(listener_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    acceptor_ = std::thread([this] { acceptConnections(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopEvent_, &one, sizeof one);
    acceptor_.join();
    // The acceptor has stopped, so no thread is added any more.
    for (auto& connection : connections_) {
        connection.join();
    }
    ::close(listener_);
    ::close(stopEvent_);
}

std::uint16_t closedPort() {
    const Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throwSystemError("closed port");
    }
    return ntohs(address.sin_port);
}

std::string LoopbackHttpServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void LoopbackHttpServer::enqueue(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

void LoopbackHttpServer::setDefaultReply(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    defaultReply_ = std::move(reply);
}

void LoopbackHttpServer::enqueue(const std::string& path, ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    pathScripts_[path].push_back(std::move(reply));
}

void LoopbackHttpServer::setDefaultReply(const std::string& path, ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    pathDefaultReplies_[path] = std::move(reply);
}

void LoopbackHttpServer::setMaxBodyBytes(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    maxBodyBytes_ = bytes;
}

void LoopbackHttpServer::setReadRate(std::size_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    readRate_ = bytesPerSecond;
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool LoopbackHttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

ScriptedReply LoopbackHttpServer::nextReply(const std::string& path) {
    if (auto script = pathScripts_.find(path);
        script != pathScripts_.end() && !script->second.empty()) {
        ScriptedReply reply = std::move(script->second.front());
        script->second.pop_front();
        return reply;
    }
    if (auto reply = pathDefaultReplies_.find(path); reply != pathDefaultReplies_.end()) {
        return reply->second;
    }
    if (script_.empty()) {
        return defaultReply_;
    }
    ScriptedReply reply = std::move(script_.front());
    script_.pop_front();
    return reply;
}

void LoopbackHttpServer::sendPaced(int fd, std::string_view response,
                                   const ScriptedReply& reply) const {
    const auto bodyStart = response.size() - reply.body.size();
    sendAll(fd, response.substr(0, bodyStart));
    std::string_view body = response.substr(bodyStart);
    const auto pieceSize = body.size() / static_cast<size_t>(std::max(reply.pieces, 1)) + 1;
    while (!body.empty()) {
        if (body.size() != reply.body.size() && !waitUnlessStopped(reply.pace)) {
            return;
        }
        sendAll(fd, body.substr(0, pieceSize));
        body.remove_prefix(std::min(pieceSize, body.size()));
    }
}

bool LoopbackHttpServer::waitUnlessStopped(std::chrono::milliseconds timeout) const {
    pollfd stop{stopEvent_, POLLIN, 0};
    return ::poll(&stop, 1, static_cast<int>(timeout.count())) == 0;
}

void LoopbackHttpServer::acceptConnections() {
    for (;;) {
        pollfd watched[] = {{listener_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            connections_.emplace_back([this, connection] { serve(connection); });
        }
    }
}

void LoopbackHttpServer::serve(int connectionFd) {
    const Socket connection(connectionFd);
    std::optional<std::size_t> readRate;
    {
        std::lock_guard lock(mutex_);
        readRate = readRate_;
    }
    // A twentieth of the rate every 50 ms; the small buffer keeps the kernel
    // from taking in much more than is read.
    constexpr auto readPace = std::chrono::milliseconds(50);
    std::size_t readSize = 16384;
    if (readRate) {
        readSize = std::max<std::size_t>(*readRate / 20, 1);
        const int bufferBytes = 16384;
        setsockopt(connection.fd(), SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    }
    std::string received;
    std::optional<RecordedRequest> request;
    while (!request) {
        pollfd watched[] = {{connection.fd(), POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        if (watched[0].revents == 0) {
            continue;
        }
        char buffer[16384];
        const ssize_t count = ::recv(connection.fd(), buffer, std::min(sizeof buffer, readSize), 0);
        if (count <= 0) {
            return;
        }
        received.append(buffer, static_cast<size_t>(count));
        request = parseHttpRequest(received);
        if (readRate && !waitUnlessStopped(readPace)) {
            return;
        }
    }

    ScriptedReply reply;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
        reply = maxBodyBytes_ && request->body.size() > *maxBodyBytes_ ? ScriptedReply::respond(413)
                                                                       : nextReply(request->path());
    }
    requestArrived_.notify_all();

    if (reply.gate) {
        pollfd watched[] = {{reply.gate->fd(), POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        while (::poll(watched, 2, -1) < 0 && errno == EINTR) {
        }
        if (watched[1].revents != 0) {
            return;
        }
    }
    if (!waitUnlessStopped(reply.delay)) {
        return;
    }
    switch (reply.action) {
    case ScriptedReply::Action::respond:
        sendPaced(connection.fd(), responseBytes(reply), reply);
        break;
    case ScriptedReply::Action::respondRaw:
        sendPaced(connection.fd(), reply.body, reply);
        break;
    case ScriptedReply::Action::closeWithoutReply:
        break;
    case ScriptedReply::Action::reset: {
        const linger abortive{1, 0};
        setsockopt(connection.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        break;
    }
    case ScriptedReply::Action::hang:
        waitUnlessStopped(std::chrono::milliseconds(-1));
        break;
    }
}

} // namespace testsupport
