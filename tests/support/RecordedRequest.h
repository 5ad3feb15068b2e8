// One HTTP request as a test server received it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

struct RecordedRequest {
    std::string raw; // every byte received, framing included
    std::string method;
    std::string target; // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body; // with chunked framing removed

    // Header names compare without regard to case; the first match wins.
    std::optional<std::string> header(std::string_view name) const;
    std::string path() const;
    std::optional<std::string> query() const;
};

} // namespace testsupport
