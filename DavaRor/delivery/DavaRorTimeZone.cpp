#include "DavaRor/delivery/DavaRorTimeZone.h"

#include "platform/core/RegularFile.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view zoneinfoFolder = "zoneinfo/";

// The shape of an IANA name: components of letters, digits and "._+-", the
// first starting with a letter. POSIX rules (",", "<", ">") and paths with
// "." or ".." components never match.
bool looksLikeZoneName(std::string_view name) {
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name.front()))) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const auto end = std::min(name.find('/', start), name.size());
        const auto part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." ||
            !std::all_of(part.begin(), part.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' ||
                       c == '+' || c == '-';
            })) {
            return false;
        }
        if (end == name.size()) {
            return true;
        }
        start = end + 1;
    }
}

// The zone a path under a zoneinfo folder stands for; the "posix" and
// "right" variants of the database name the same zones.
std::optional<std::string> zoneOfPath(const std::string& path) {
    const auto found = path.rfind(zoneinfoFolder);
    if (found == std::string::npos) {
        return std::nullopt;
    }
    std::string_view zone = std::string_view(path).substr(found + zoneinfoFolder.size());
    for (std::string_view variant : {"posix/", "right/"}) {
        if (zone.starts_with(variant)) {
            zone.remove_prefix(variant.size());
        }
    }
    if (!looksLikeZoneName(zone)) {
        return std::nullopt;
    }
    return std::string(zone);
}

bool isZoneFile(const fs::path& file) {
    std::error_code error;
    const auto zone =
        platform::openRegularFileForReading(file, platform::SymbolicLinks::follow, error);
    char magic[4] = {};
    return zone && ::read(zone.get(), magic, sizeof magic) == sizeof magic &&
           std::string_view(magic, sizeof magic) == "TZif";
}

std::optional<std::string> zoneOfTZ(std::string tz, const fs::path& zoneinfo) {
    if (tz.starts_with(':')) {
        tz.erase(0, 1);
    }
    if (tz.starts_with('/')) {
        return zoneOfPath(tz);
    }
    // A POSIX rule such as "CET-1" has the shape of a name: only a zone file
    // of that name tells them apart.
    if (!looksLikeZoneName(tz) || !isZoneFile(zoneinfo / tz)) {
        return std::nullopt;
    }
    return tz;
}

} // namespace

std::string timeZoneIdentifier(const DavaRorTimeZoneSources& sources) {
    if (sources.tz) {
        if (auto zone = zoneOfTZ(*sources.tz, sources.zoneinfo)) {
            return *zone;
        }
    }
    std::error_code error;
    const auto target = fs::read_symlink(sources.localtime, error);
    if (!error) {
        if (auto zone = zoneOfPath(target.string())) {
            return *zone;
        }
    }
    return "UTC";
}

std::string currentTimeZoneIdentifier() {
    DavaRorTimeZoneSources sources;
    if (const char* tz = std::getenv("TZ")) {
        sources.tz = tz;
    }
    if (const char* folder = std::getenv("TZDIR"); folder != nullptr && *folder != '\0') {
        sources.zoneinfo = folder;
    }
    return timeZoneIdentifier(sources);
}
