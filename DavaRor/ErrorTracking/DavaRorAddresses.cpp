#include "DavaRor/ErrorTracking/DavaRorAddresses.h"

#include <cstdio>

std::string addressText(std::uint64_t address) {
    char text[19];
    std::snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(address));
    return text;
}
