#include "platform/http/HttpMessage.h"

#include <curl/curl.h>

#include <algorithm>
#include <strings.h>

namespace platform::http {

bool isSameHeaderName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> findHeader(const HeaderList& headers, std::string_view name) {
    auto found = std::find_if(headers.begin(), headers.end(), [&](const auto& header) {
        return isSameHeaderName(header.first, name);
    });
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::chrono::sys_seconds> parseHttpDate(const std::string& text) {
    const time_t seconds = curl_getdate(text.c_str(), nullptr);
    if (seconds == -1) {
        return std::nullopt;
    }
    return std::chrono::sys_seconds(std::chrono::seconds(seconds));
}

} // namespace platform::http
