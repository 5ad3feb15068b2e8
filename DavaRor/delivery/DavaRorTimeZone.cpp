#include "DavaRor/delivery/DavaRorTimeZone.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace {

constexpr std::string_view zoneinfoFolder = "zoneinfo/";

std::string zoneFromLink() {
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/etc/localtime", error).string();
    const auto found = target.rfind(zoneinfoFolder);
    if (error || found == std::string::npos) {
        return {};
    }
    return target.substr(found + zoneinfoFolder.size());
}

std::string zoneFromFile() {
    std::string zone;
    std::ifstream("/etc/timezone") >> zone;
    return zone;
}

} // namespace

std::string currentTimeZoneIdentifier() {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        // POSIX allows a leading colon before a zone file name.
        return tz[0] == ':' ? std::string(tz + 1) : std::string(tz);
    }
    if (auto zone = zoneFromLink(); !zone.empty()) {
        return zone;
    }
    if (auto zone = zoneFromFile(); !zone.empty()) {
        return zone;
    }
    return "UTC";
}
