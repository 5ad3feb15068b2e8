#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

std::string uuidText(std::span<const std::uint8_t, 16> b) {
    char text[37];
    std::snprintf(text, sizeof(text),
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string formattedAsUUID(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c != '-') {
            digits.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    if (digits.size() != 32) {
        return std::string(text);
    }
    for (std::size_t at : {20u, 16u, 12u, 8u}) {
        digits.insert(at, 1, '-');
    }
    return digits;
}
