#include "DavaRor/Utils/DavaRorNumbers.h"

#include <charconv>
#include <cmath>

std::string doubleDescription(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    std::string result(text, end);
    if (result.find_first_of(".e") == std::string::npos) {
        result += ".0";
    }
    return result;
}
