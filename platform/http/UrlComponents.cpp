#include "platform/http/UrlComponents.h"

#include "platform/core/HexDigits.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace platform::http {

namespace {

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(unsigned char c) {
    return std::string_view("!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isPathCharacter(unsigned char c) {
    return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@' || c == '/';
}

bool isQueryValueCharacter(unsigned char c) {
    return isUnreserved(c) || c == '!' || c == '$' || c == '\'' || c == '(' || c == ')' ||
           c == '*' || c == ',' || c == ';' || c == ':' || c == '@' || c == '/' || c == '?';
}

// Every character must be one an address may carry, and every '%' must start
// a complete escape.
bool isWellFormedAddressText(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 ||
                hexDigitValue(text[i + 2]) < 0) {
                return false;
            }
            i += 2;
        } else if (!isPathCharacter(c) && c != '?' && c != '#' && c != '[' && c != ']') {
            return false;
        }
    }
    return true;
}

template <typename Allowed> std::string percentEncoded(std::string_view text, Allowed allowed) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (allowed(c)) {
            encoded += character;
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 0xF];
        }
    }
    return encoded;
}

std::string percentDecoded(std::string_view text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
            hexDigitValue(text[i + 2]) >= 0) {
            decoded +=
                static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::optional<std::string> optionalMatch(const std::smatch& match, int presence, int value) {
    if (!match[presence].matched) {
        return std::nullopt;
    }
    return match[value].str();
}

} // namespace

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
    if (!isWellFormedAddressText(text)) {
        return std::nullopt;
    }
    // The generic split of an address into its five parts.
    static const std::regex pattern(
        R"(^(([A-Za-z][A-Za-z0-9+.-]*):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?$)");
    const std::string subject(text);
    std::smatch match;
    if (!std::regex_match(subject, match, pattern)) {
        return std::nullopt;
    }
    UrlComponents components;
    components.scheme_ = optionalMatch(match, 1, 2);
    components.authority_ = optionalMatch(match, 3, 4);
    components.percentEncodedPath_ = match[5].str();
    components.percentEncodedQuery_ = optionalMatch(match, 6, 7);
    components.fragment_ = optionalMatch(match, 8, 9);
    return components;
}

std::string UrlComponents::path() const {
    return percentDecoded(percentEncodedPath_);
}

void UrlComponents::setPath(std::string_view decodedPath) {
    percentEncodedPath_ = percentEncoded(decodedPath, isPathCharacter);
}

void UrlComponents::setQueryItems(const std::vector<UrlQueryItem>& items) {
    if (items.empty()) {
        percentEncodedQuery_.reset();
        return;
    }
    std::string query;
    for (const auto& item : items) {
        if (!query.empty()) {
            query += '&';
        }
        query += percentEncoded(item.name, isQueryValueCharacter);
        query += '=';
        query += percentEncoded(item.value, isQueryValueCharacter);
    }
    percentEncodedQuery_ = std::move(query);
}

std::optional<std::string> UrlComponents::string() const {
    const bool pathIsAbsolute = percentEncodedPath_.starts_with('/');
    if (authority_ && !percentEncodedPath_.empty() && !pathIsAbsolute) {
        return std::nullopt;
    }
    if (!authority_ && percentEncodedPath_.starts_with("//")) {
        return std::nullopt;
    }
    std::string text;
    if (scheme_) {
        text += *scheme_ + ":";
    }
    if (authority_) {
        text += "//" + *authority_;
    }
    text += percentEncodedPath_;
    if (percentEncodedQuery_) {
        text += "?" + *percentEncodedQuery_;
    }
    if (fragment_) {
        text += "#" + *fragment_;
    }
    return text;
}

} // namespace platform::http
