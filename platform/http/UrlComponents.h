// Splits an absolute address into scheme, authority, path, query and fragment
// and puts it back together, so that callers can change the path or the query
// of a configured address without touching the rest of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::http {

struct UrlQueryItem {
    std::string name;
    std::string value;
};

class UrlComponents {
public:
    // None when the text holds characters an address may not contain.
    static std::optional<UrlComponents> parse(std::string_view text);

    // The path with percent-escapes decoded.
    std::string path() const;
    // Escapes whatever a path may not hold as it is.
    void setPath(std::string_view decodedPath);
    void setQueryItems(const std::vector<UrlQueryItem>& items);

    // None when the parts do not form an address, e.g. a relative path after a host.
    std::optional<std::string> string() const;

private:
    std::optional<std::string> scheme_;
    std::optional<std::string> authority_;
    std::string percentEncodedPath_;
    std::optional<std::string> percentEncodedQuery_;
    std::optional<std::string> fragment_;
};

} // namespace platform::http
