#include "platform/http/HttpMessage.h"

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

} // namespace platform::http
