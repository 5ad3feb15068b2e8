#include "info/KOCrashHostInfo.h"

#include "KOCrashLog.h"
#include "info/KOCrashSysctl.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Reads the digits at position into value; false when there are none.
bool readNumber(const std::string& text, std::size_t& position, std::uint64_t& value) {
    std::size_t start = position;
    std::uint64_t number = 0;
    while (position < text.size() && std::isdigit(static_cast<unsigned char>(text[position]))) {
        number = number * 10 + static_cast<std::uint64_t>(text[position] - '0');
        ++position;
    }
    if (position == start) {
        return false;
    }
    value = number;
    return true;
}

bool readDot(const std::string& text, std::size_t& position) {
    if (position < text.size() && text[position] == '.') {
        ++position;
        return true;
    }
    return false;
}

} // namespace

std::optional<KOCrashHostInfo> KOCrashHostInfo::currentHostInfo() {
    std::optional<std::string> release = kocrash_sysctl_string("kern.osrelease");
    if (!release) {
        int error = errno;
        kocrash_log("[KOCrashReporter] Failed to fetch kern.osrelease value %d: %s", error,
                    std::strerror(error));
        return std::nullopt;
    }
    KOCrashHostInfo info;
    KOCrashHostInfoVersion& version = info._darwinVersion;
    std::size_t position = 0;
    bool complete = readNumber(*release, position, version.major) && readDot(*release, position) &&
                    readNumber(*release, position, version.minor) && readDot(*release, position) &&
                    readNumber(*release, position, version.revision);
    if (!complete) {
        kocrash_log("[KOCrashReporter] Unexpected kern.osrelease string format: %s",
                    release->c_str());
    }
    return info;
}
