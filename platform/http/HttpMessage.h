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

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderList headers;
    std::string body;
    // Connecting may take this long, and so may any stretch in which no byte
    // moves; the whole transfer may take longer.
    std::chrono::milliseconds timeout = defaultRequestTimeout;
    // None takes the proxy from the environment, as libcurl reads it.
    std::optional<std::string> proxy;
    // A reply body longer than this ends the transfer with an error instead of
    // filling memory; none accepts any length.
    std::optional<std::size_t> maxResponseBytes;
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
