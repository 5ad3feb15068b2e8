// The Darwin version of the host, parsed from kern.osrelease. Normal context only.
#pragma once

#include <cstdint>
#include <optional>

struct KOCrashHostInfoVersion {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t revision = 0;
};

class KOCrashHostInfo {
public:
    // Nothing when kern.osrelease cannot be read; a release in another format keeps the parts
    // read before the first missing one (the rest stay 0).
    static std::optional<KOCrashHostInfo> currentHostInfo();

    KOCrashHostInfoVersion darwinVersion() const { return _darwinVersion; }

private:
    KOCrashHostInfo() = default;

    KOCrashHostInfoVersion _darwinVersion;
};
