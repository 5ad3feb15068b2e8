// A local stand-in for the analytics service's ingestion endpoint: listens on
// 127.0.0.1, accepts POSTed batches, gunzips them and prints each one.
// Usage: davaror-ingest-receiver [port] [batches-to-receive]
//   Prints "listening on http://127.0.0.1:<port>" first, and exits after the
//   given number of batches (default: runs until killed).
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

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

std::optional<std::string> gunzip(const std::string& compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 32) != Z_OK) {
        return std::nullopt;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    std::string output;
    char buffer[16384];
    int status;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        output.append(buffer, sizeof buffer - stream.avail_out);
    } while (status == Z_OK);
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
        return std::nullopt;
    }
    return output;
}

// Reads one request: headers up to the blank line, then Content-Length bytes.
std::optional<std::pair<std::string, std::string>> readRequest(int fd) {
    std::string data;
    char buffer[8192];
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    std::string head = data.substr(0, headerEnd);
    std::size_t length = 0;
    for (std::size_t at = 0; (at = head.find("\r\n", at)) != std::string::npos;) {
        at += 2;
        std::string line = head.substr(at, head.find("\r\n", at) - at);
        if (strncasecmp(line.c_str(), "content-length:", 15) == 0) {
            length = std::strtoul(line.c_str() + 15, nullptr, 10);
        }
    }
    std::string body = data.substr(headerEnd + 4);
    while (body.size() < length) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        body.append(buffer, static_cast<std::size_t>(got));
    }
    return std::make_pair(head.substr(0, head.find("\r\n")), body);
}

void reply(int fd, const char* status) {
    std::string response = std::string("HTTP/1.1 ") + status +
                           "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                           "Connection: close\r\n\r\n{}";
    (void)::write(fd, response.data(), response.size());
}

} // namespace

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 0;
    const long batchesWanted = argc > 2 ? std::atol(argv[2]) : -1;

    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int reuse = 1;
    setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd(), 16) != 0) {
        std::perror("listen");
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length);
    std::cout << "listening on http://127.0.0.1:" << ntohs(address.sin_port) << std::endl;

    for (long received = 0; batchesWanted < 0 || received < batchesWanted;) {
        Socket connection(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.fd() < 0) {
            continue;
        }
        auto request = readRequest(connection.fd());
        if (!request) {
            continue;
        }
        auto json = gunzip(request->second);
        auto parsed = json ? nlohmann::json::parse(*json, nullptr, false) : nlohmann::json();
        if (parsed.is_discarded() || parsed.is_null()) {
            reply(connection.fd(), "400 Bad Request");
            std::cout << request->first << ": body is not gzip-compressed JSON" << std::endl;
            continue;
        }
        reply(connection.fd(), "200 OK");
        ++received;
        std::cout << request->first << "\n" << parsed.dump(2) << std::endl;
    }
    return 0;
}
