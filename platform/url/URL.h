#pragma once

#include "platform/core/Export.h"

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A URI reference (RFC 3986) kept as the text it was made from, like a URL
// made from a string on the original platform.
class DAVAROR_EXPORT URL {
public:
    // None for text that is not a URI reference: empty text, characters a
    // reference may not hold (spaces, quotes, ...), broken percent escapes, a
    // non-numeric port, or a colon in the first segment of a relative path.
    static std::optional<URL> fromString(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    const std::optional<std::string>& scheme() const { return scheme_; }
    // The host of the authority, percent-decoded, without user information,
    // port or IP-literal brackets; none when there is no authority or it
    // names no host.
    const std::optional<std::string>& host() const { return host_; }

    bool operator==(const URL& other) const { return text_ == other.text_; }

private:
    URL() = default;
    std::string text_;
    std::optional<std::string> scheme_;
    std::optional<std::string> host_;
};

} // namespace platform
