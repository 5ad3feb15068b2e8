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

// A date in any of the three forms HTTP allows ("Sun, 06 Nov 1994 08:49:37 GMT" and the two
// obsolete ones), read the same whatever the process's locale; none when it is not one. Whole
// seconds, so that every year the forms can write fits.
std::optional<std::chrono::sys_seconds> parseHttpDate(const std::string& text);

inline constexpr std::chrono::milliseconds defaultRequestTimeout = 10s;
inline constexpr std::chrono::milliseconds defaultRequestDeadline = 60s;

// What a reply body that cannot be taken in whole does to the request: one
// longer than the request's limit, cut short, badly encoded or chunked, or
// still arriving at the deadline.
enum class ReplyBodyFailure {
    // The request fails: its caller needs the whole body.
    failsTheRequest,
    // The body is dropped and the status that came with the reply's head
    // stands: its caller needs only the status.
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
    ReplyBodyFailure bodyFailure = ReplyBodyFailure::failsTheRequest;
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
    // The request timed out while its body was still going up: the link, not
    // the service, was too slow for a body of that size.
    bool timedOutSendingBody = false;
};

} // namespace platform::http
