// Requests handed to the HTTP transport and what it reports back for them.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::http {

using namespace std::chrono_literals;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Header names compare without regard to case, as HTTP defines them.
bool isSameHeaderName(std::string_view a, std::string_view b);
std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name);

inline constexpr std::chrono::milliseconds defaultRequestTimeout = 10s;
inline constexpr std::chrono::milliseconds defaultRequestDeadline = 60s;

// What a reply body longer than the request's limit does to the request.
enum class ReplyBodyPastLimit {
    // The request fails: its caller needs the whole body.
    failsTheRequest,
    // The body is dropped and the status that came with it stands: its caller
    // needs only the status.
    isDropped,
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderList headers;
    std::string body;
    // Connecting may take this long, and so may any stretch in which no byte
    // moves; the whole transfer may take longer.
    std::chrono::milliseconds timeout = defaultRequestTimeout;
    // The whole request, from connecting to the reply's last byte, fails with
    // `timedOut` after this long, so a reply that keeps trickling cannot hold
    // it open.
    std::chrono::milliseconds deadline = defaultRequestDeadline;
    // None takes the proxy from the environment, as libcurl reads it.
    std::optional<std::string> proxy;
    // A reply body longer than this ends the transfer instead of filling
    // memory; none accepts any length.
    std::optional<std::size_t> maxResponseBytes;
    ReplyBodyPastLimit bodyPastLimit = ReplyBodyPastLimit::failsTheRequest;
};

enum class HttpErrorCode {
    cancelled,
    timedOut,
    badURL,
    unsupportedURL,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    other,
};

struct HttpError {
    HttpErrorCode code = HttpErrorCode::other;
    std::string description;
};

// Exactly one of `error` and `statusCode` is set.
struct HttpResponse {
    std::optional<int> statusCode;
    HeaderList headers;
    std::string body;
    std::optional<HttpError> error;
};

} // namespace platform::http
