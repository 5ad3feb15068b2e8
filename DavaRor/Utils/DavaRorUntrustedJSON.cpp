#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Where the string whose body starts at `from` ends: its closing quote, or
// the end of `text`. String bodies are most of an event's text, so they are
// crossed with memchr, not a byte at a time; a quote after an odd run of
// backslashes is escaped.
std::size_t closingQuote(std::string_view text, std::size_t from) {
    for (;;) {
        const auto quote = text.find('"', from);
        if (quote == std::string_view::npos) {
            return text.size();
        }
        std::size_t backslashes = 0;
        while (quote - backslashes > from && text[quote - backslashes - 1] == '\\') {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            return quote;
        }
        from = quote + 1;
    }
}

struct JsonTextShape {
    std::size_t deepestNesting = 0;
    std::size_t values = 0;
};

// How deep `text` nests arrays and objects and how many values and member
// names it holds, counted only until one of them passes its limit. Exact for
// valid JSON, where each but the first follows a comma or a colon, or is the
// first inside its array or object; for anything else the parser has the last
// word.
JsonTextShape shapeOf(std::string_view text, const DavaRorJsonLimits& limits) {
    static constexpr std::string_view whitespace = " \t\r\n";
    JsonTextShape shape;
    shape.values = text.find_first_not_of(whitespace) == std::string_view::npos ? 0 : 1;
    std::size_t depth = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            at = closingQuote(text, at + 1);
        } else if (c == ',' || c == ':') {
            ++shape.values;
        } else if (c == '[' || c == '{') {
            shape.deepestNesting = std::max(shape.deepestNesting, ++depth);
            const auto next = text.find_first_not_of(whitespace, at + 1);
            if (next != std::string_view::npos && text[next] != ']' && text[next] != '}') {
                ++shape.values;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
        if (shape.deepestNesting > limits.maxDepth || shape.values > limits.maxValues) {
            break;
        }
    }
    return shape;
}

} // namespace

std::optional<std::string> untrustedJsonLimitViolation(std::string_view text,
                                                       DavaRorJsonLimits limits) {
    if (text.size() > limits.maxBytes) {
        return "JSON text of " + std::to_string(text.size()) + " bytes exceeds the limit of " +
               std::to_string(limits.maxBytes);
    }
    const JsonTextShape shape = shapeOf(text, limits);
    if (shape.deepestNesting > limits.maxDepth) {
        return "JSON text nests deeper than " + std::to_string(limits.maxDepth) + " levels";
    }
    if (shape.values > limits.maxValues) {
        return "JSON text holds more than " + std::to_string(limits.maxValues) + " values";
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

nlohmann::json* findMember(nlohmann::json& object, const std::string& key) noexcept {
    return const_cast<nlohmann::json*>(findMember(std::as_const(object), key));
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
