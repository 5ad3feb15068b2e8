#include "KOCrashReportText.h"

#include <cstdint>

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed sequence starting at `at`, 0 when there is none. The second-byte
// ranges reject overlong forms, surrogates and code points above U+10FFFF.
std::size_t validSequenceLength(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondMin = lead == 0xE0 ? 0xA0 : 0x80;
        secondMax = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondMin = lead == 0xF0 ? 0x90 : 0x80;
        secondMax = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) {
        return 0;
    }
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    if (second < secondMin || second > secondMax) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!isContinuation(static_cast<unsigned char>(bytes[at + i]))) {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string kocrash_report_valid_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t length = validSequenceLength(bytes, at);
        if (length == 0) {
            text.append(replacementCharacter);
            ++at;
        } else {
            text.append(bytes.substr(at, length));
            at += length;
        }
    }
    return text;
}

std::size_t kocrash_report_utf16_length(std::string_view validUtf8) {
    std::size_t units = 0;
    for (char c : validUtf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isContinuation(byte)) {
            // A four-byte sequence lies outside the basic plane: a surrogate pair.
            units += byte >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}
