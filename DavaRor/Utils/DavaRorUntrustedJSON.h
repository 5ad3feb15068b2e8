// Reading JSON the client did not write itself: replies of the service, files
// on disk that may be corrupt, payload texts inside flag answers.
//
// Text over the limits is refused before it is parsed. The parser itself is
// iterative, but copying, comparing and writing a value recurse once per
// nesting level, so a deeply nested value accepted now would overflow the
// stack later, far from where it came in. A parsed value takes tens of bytes
// where its text may take two or three, so the number of values is bounded
// too: text of empty arrays within the size limit would take over a gigabyte.
#pragma once

#include "platform/core/UntrustedJsonLimits.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

using platform::maxUntrustedJsonBytes;
using platform::maxUntrustedJsonDepth;
using platform::maxUntrustedJsonValues;

struct DavaRorJsonLimits {
    std::size_t maxBytes = maxUntrustedJsonBytes;
    std::size_t maxDepth = maxUntrustedJsonDepth;
    std::size_t maxValues = maxUntrustedJsonValues;
};

class DavaRorJsonLimitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Why `text` breaks the limits, or none when it keeps them. Text that passes
// may still fail to parse. One pass over the text.
std::optional<std::string> untrustedJsonLimitViolation(std::string_view text,
                                                       DavaRorJsonLimits limits = {});

// Any JSON value, bare scalars included. Throws nlohmann::json::parse_error for
// text that is not JSON (ill-formed UTF-8 included) and DavaRorJsonLimitError
// for text longer, deeper or with more values than the limits.
nlohmann::json parseUntrustedJson(std::string_view text, DavaRorJsonLimits limits = {});

// The same, with none for every failure.
std::optional<nlohmann::json> parseUntrustedJsonOrNone(std::string_view text) noexcept;

// The member `key` of `object`, or null when `object` is no object or lacks
// the key. Never inserts, unlike operator[].
const nlohmann::json* findMember(const nlohmann::json& object, const std::string& key) noexcept;
nlohmann::json* findMember(nlohmann::json& object, const std::string& key) noexcept;

// The value when it is an integer that fits a signed 64-bit integer.
std::optional<std::int64_t> int64Value(const nlohmann::json& value) noexcept;

// True for an object whose every value is a string.
bool isObjectOfStrings(const nlohmann::json& value) noexcept;

// True for an object whose every value is an object.
bool isObjectOfObjects(const nlohmann::json& value) noexcept;
