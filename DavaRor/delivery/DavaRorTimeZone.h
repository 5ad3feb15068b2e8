// The system's time zone as an IANA name, e.g. "Europe/Berlin": never a file
// path or a POSIX rule string, which the service cannot evaluate flags with.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

struct DavaRorTimeZoneSources {
    std::optional<std::string> tz; // the value of $TZ
    std::filesystem::path localtime = "/etc/localtime";
    std::filesystem::path zoneinfo = "/usr/share/zoneinfo";
};

// From `tz` when it names a zone (with or without a leading ":"), else from
// the zoneinfo file `localtime` links to, else "UTC".
std::string timeZoneIdentifier(const DavaRorTimeZoneSources& sources);

// The same from $TZ, /etc/localtime and $TZDIR (default /usr/share/zoneinfo).
std::string currentTimeZoneIdentifier();
