#include "platform/url/URL.h"

#include "platform/core/HexDigits.h"

#include <algorithm>
#include <cctype>

namespace platform {
namespace {

bool isUnreservedOrDelimiter(unsigned char c) {
    if (std::isalnum(c)) {
        return true;
    }
    constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=";
    return allowed.find(static_cast<char>(c)) != std::string_view::npos;
}

bool hasOnlyValidCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 ||
                hexDigitValue(text[i + 2]) < 0) {
                return false;
            }
            i += 2;
        } else if (!isUnreservedOrDelimiter(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return std::count(text.begin(), text.end(), '#') <= 1;
}

bool isScheme(std::string_view text) {
    return !text.empty() && std::isalpha(static_cast<unsigned char>(text.front())) &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '+' || c == '-' || c == '.';
           });
}

std::string percentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            decoded.push_back(
                static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// Splits "user@host:port" and "[v6]:port"; none when the port is not numeric
// or the brackets are unbalanced.
std::optional<std::string_view> hostOfAuthority(std::string_view authority) {
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = authority.substr(1, close - 1);
        auto rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else if (auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.find_first_of("[]") != std::string_view::npos ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    return host;
}

} // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty() || !hasOnlyValidCharacters(text)) {
        return std::nullopt;
    }
    URL url;
    url.text_ = text;
    std::string_view rest = text;
    auto colon = rest.find(':');
    auto firstDelimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && colon < firstDelimiter) {
        if (!isScheme(rest.substr(0, colon))) {
            return std::nullopt;
        }
        url.scheme_ = std::string(rest.substr(0, colon));
        rest.remove_prefix(colon + 1);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto authority = rest.substr(0, rest.find_first_of("/?#"));
        auto host = hostOfAuthority(authority);
        if (!host) {
            return std::nullopt;
        }
        if (!host->empty()) {
            url.host_ = percentDecoded(*host);
        }
    }
    return url;
}

} // namespace platform
