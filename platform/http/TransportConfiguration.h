// Per-request settings that a caller prepares before a transfer. It is a plain
// value: callers copy it for each request, so one request's changes never leak
// into the next.
#pragma once

#include "platform/http/HttpMessage.h"

#include <optional>
#include <string>

namespace platform::http {

struct TransportConfiguration {
    // Added to every request that does not set the same header itself.
    HeaderList additionalHeaders;
    // "scheme://host:port" of an HTTP proxy; none takes the proxy from the
    // environment (http_proxy, https_proxy, no_proxy).
    std::optional<std::string> proxy;

    void setAdditionalHeader(const std::string& name, std::string value);
    HttpRequest applyTo(HttpRequest request) const;
};

} // namespace platform::http
