#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <algorithm>
#include <limits>

namespace {

// The deepest nesting of arrays and objects in `text`, counted only until it
// passes `limit`. Exact for valid JSON; for anything else the parser has the
// last word.
std::size_t nestingDepth(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) {
                return deepest;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace

std::optional<std::string> untrustedJsonLimitViolation(std::string_view text,
                                                       DavaRorJsonLimits limits) {
    if (text.size() > limits.maxBytes) {
        return "JSON text of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
               std::to_string(limits.maxBytes);
    }
    if (nestingDepth(text, limits.maxDepth) > limits.maxDepth) {
        return "JSON text nests deeper than " + std::to_string(limits.maxDepth) + " levels";
    }
    return std::nullopt;
}

nlohmann::json parseUntrustedJson(std::string_view text, DavaRorJsonLimits limits) {
    if (auto violation = untrustedJsonLimitViolation(text, limits)) {
        throw DavaRorJsonLimitError(*violation);
    }
    return nlohmann::json::parse(text);
}

std::optional<nlohmann::json> parseUntrustedJsonOrNone(std::string_view text) noexcept {
    try {
        return parseUntrustedJson(text);
    } catch (...) {
        return std::nullopt;
    }
}

const nlohmann::json* findMember(const nlohmann::json& object, const std::string& key) noexcept {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::int64_t> int64Value(const nlohmann::json& value) noexcept {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return std::nullopt;
}

bool isObjectOfStrings(const nlohmann::json& value) noexcept {
    return value.is_object() && std::all_of(value.begin(), value.end(),
                                            [](const auto& item) { return item.is_string(); });
}

bool isObjectOfObjects(const nlohmann::json& value) noexcept {
    return value.is_object() && std::all_of(value.begin(), value.end(),
                                            [](const auto& item) { return item.is_object(); });
}
