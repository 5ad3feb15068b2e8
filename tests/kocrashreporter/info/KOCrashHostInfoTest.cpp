// The host's Darwin version from kern.osrelease, and the log lines for releases that cannot be
// read or parsed.
#include "info/KOCrashHostInfo.h"

#include "platform/core/LogSink.h"
#include "platform/sysctl/Sysctl.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

using platform::sysctl::ScopedOverride;
using platform::sysctl::stringValue;

namespace {

struct Parsed {
    std::uint64_t major, minor, revision;
    bool operator==(const Parsed&) const = default;
};

Parsed versionOf(const KOCrashHostInfo& info) {
    return {info.darwinVersion().major, info.darwinVersion().minor, info.darwinVersion().revision};
}

} // namespace

TEST(KOCrashHostInfo, AReleaseGivesThePartsReadAndWarnsWhenItIsNotFull) {
    struct Case {
        const char* release;
        Parsed version;
        bool warns;
    };
    const Case cases[] = {{"21.6.0", {21, 6, 0}, false},
                          {"22.1", {22, 1, 0}, true},
                          {"22", {22, 0, 0}, true},
                          {"x.1.2", {0, 0, 0}, true},
                          {"23.0.", {23, 0, 0}, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.release);
        ScopedOverride release("kern.osrelease", stringValue(c.release));
        platform::log::ScopedCapture log;
        std::optional<KOCrashHostInfo> info = KOCrashHostInfo::currentHostInfo();
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(versionOf(*info), c.version);
        const std::string warning =
            std::string("[KOCrashReporter] Unexpected kern.osrelease string format: ") + c.release;
        EXPECT_EQ(log.lines(),
                  c.warns ? std::vector<std::string>{warning} : std::vector<std::string>{});
    }
}

TEST(KOCrashHostInfo, AnUnreadableReleaseGivesNothingAndSaysWhy) {
    ScopedOverride release("kern.osrelease", std::nullopt);
    platform::log::ScopedCapture log;
    EXPECT_FALSE(KOCrashHostInfo::currentHostInfo().has_value());
    EXPECT_EQ(
        log.lines(),
        std::vector<std::string>{
            "[KOCrashReporter] Failed to fetch kern.osrelease value 2: No such file or directory"});
}

TEST(KOCrashHostInfo, TheRealReleaseStartsWithItsNumbers) {
    utsname host{};
    ASSERT_EQ(uname(&host), 0);
    unsigned long long major = 0;
    unsigned long long minor = 0;
    ASSERT_EQ(std::sscanf(host.release, "%llu.%llu", &major, &minor), 2);
    std::optional<KOCrashHostInfo> info = KOCrashHostInfo::currentHostInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->darwinVersion().major, major);
    EXPECT_EQ(info->darwinVersion().minor, minor);
}
