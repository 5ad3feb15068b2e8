// A tiny forwarding HTTP proxy on 127.0.0.1, for trying the client behind a
// proxy: every request, whatever host it names, goes to one upstream port on
// 127.0.0.1, and the reply comes back unchanged. One request per connection.
// Usage: davaror-forward-proxy <upstream port>
//   Prints "listening on http://127.0.0.1:<port>" first, then one
//   "forwarded <method> <address>" line per request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// The head up to its blank line and a Content-Length body; enough for the
// client's requests, which never use chunked bodies.
std::optional<std::string> readRequest(int fd) {
    std::string data;
    char buffer[8192];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        data.append(buffer, static_cast<size_t>(got));
    }
    size_t length = 0;
    for (size_t at = 0; (at = data.find("\r\n", at)) != std::string::npos && at < headEnd;) {
        at += 2;
        if (strncasecmp(data.c_str() + at, "content-length:", 15) == 0) {
            length = std::strtoul(data.c_str() + at + 15, nullptr, 10);
        }
    }
    while (data.size() < headEnd + 4 + length) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        data.append(buffer, static_cast<size_t>(got));
    }
    return data;
}

// "POST http://host/path HTTP/1.1" becomes "POST /path HTTP/1.1", the form
// an origin server expects.
std::optional<std::string> toOriginForm(std::string& request, std::string& address) {
    const auto lineEnd = request.find("\r\n");
    const auto firstSpace = request.find(' ');
    const auto lastSpace = request.rfind(' ', lineEnd);
    if (firstSpace == std::string::npos || lastSpace <= firstSpace) {
        return std::nullopt;
    }
    address = request.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const auto scheme = address.find("://");
    if (scheme == std::string::npos) {
        return std::nullopt;
    }
    const auto pathStart = address.find('/', scheme + 3);
    const std::string path = pathStart == std::string::npos ? "/" : address.substr(pathStart);
    request.replace(firstSpace + 1, lastSpace - firstSpace - 1, path);
    return request.substr(0, firstSpace);
}

void forward(int client, int upstreamPort) {
    auto request = readRequest(client);
    std::string address;
    const auto method = request ? toOriginForm(*request, address) : std::nullopt;
    if (!method) {
        sendAll(client,
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    Socket upstream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in target = loopback(upstreamPort);
    if (::connect(upstream.fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 ||
        !sendAll(upstream.fd(), *request)) {
        sendAll(client,
                "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    char buffer[8192];
    ssize_t got;
    while ((got = ::read(upstream.fd(), buffer, sizeof buffer)) > 0) {
        if (!sendAll(client, std::string_view(buffer, static_cast<size_t>(got)))) {
            return;
        }
    }
    std::cout << "forwarded " << *method << " " << address << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " <upstream port>\n";
        return 2;
    }
    const int upstreamPort = std::atoi(argv[1]);
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd(), 16) != 0 ||
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    std::cout << "listening on http://127.0.0.1:" << ntohs(address.sin_port) << std::endl;
    for (;;) {
        Socket client(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.fd() >= 0) {
            forward(client.fd(), upstreamPort);
        }
    }
}
