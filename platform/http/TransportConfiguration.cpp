#include "platform/http/TransportConfiguration.h"

namespace platform::http {

void TransportConfiguration::setAdditionalHeader(const std::string& name, std::string value) {
    std::erase_if(additionalHeaders,
                  [&](const auto& header) { return isSameHeaderName(header.first, name); });
    additionalHeaders.emplace_back(name, std::move(value));
}

HttpRequest TransportConfiguration::applyTo(HttpRequest request) const {
    for (const auto& [name, value] : additionalHeaders) {
        if (!findHeader(request.headers, name)) {
            request.headers.emplace_back(name, value);
        }
    }
    if (proxy && !request.proxy) {
        request.proxy = proxy;
    }
    return request;
}

} // namespace platform::http
