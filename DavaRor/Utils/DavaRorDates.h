#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

using DavaRorDate = std::chrono::system_clock::time_point;

// The date as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC.
std::string toISO8601String(DavaRorDate date);

// Reads and writes the dates of the analytics API.
class DavaRorAPIDateFormatter {
public:
    // The milliseconds form first, then "yyyy-MM-dd'T'HH:mm:ss'Z'"; none when
    // the text is neither.
    std::optional<DavaRorDate> date(std::string_view text) const;
    std::string string(DavaRorDate date) const;
};

namespace davaror {
extern const DavaRorAPIDateFormatter apiDateFormatter;
} // namespace davaror
