// The sysctl readers and the UTF-8 prefix rule for names the kernel hands back.
#include "info/KOCrashSysctl.h"

#include "platform/sysctl/Sysctl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using platform::sysctl::intValue;
using platform::sysctl::ScopedOverride;
using platform::sysctl::stringValue;

TEST(KOCrashSysctl, StringsAndIntegersAreReadByName) {
    ScopedOverride model("hw.model", stringValue("Board,7"));
    ScopedOverride count("hw.logicalcpu_max", intValue(12));
    EXPECT_EQ(kocrash_sysctl_string("hw.model"), "Board,7");
    std::int32_t value = 0;
    ASSERT_TRUE(kocrash_sysctl_int("hw.logicalcpu_max", &value));
    EXPECT_EQ(value, 12);
}

TEST(KOCrashSysctl, FailuresKeepTheKernelsErrno) {
    errno = 0;
    EXPECT_EQ(kocrash_sysctl_string("kern.nothing_here"), std::nullopt);
    EXPECT_EQ(errno, ENOENT);
    std::int32_t value = 0;
    EXPECT_FALSE(kocrash_sysctl_int("kern.nothing_here", &value));
    // An eight-byte value does not fit the four-byte integer.
    ScopedOverride wide("hw.cputype", std::string(8, '\1'));
    EXPECT_FALSE(kocrash_sysctl_int("hw.cputype", &value));
}

TEST(KOCrashSysctl, AValueWithoutItsTerminatorEndsAtItsSize) {
    ScopedOverride raw("kern.osversion", std::string("21G72"));
    EXPECT_EQ(kocrash_sysctl_string("kern.osversion"), "21G72");
    ScopedOverride empty("kern.osversion", std::string());
    EXPECT_EQ(kocrash_sysctl_string("kern.osversion"), "");
}

TEST(KOCrashSysctl, Utf8PrefixesEndAtTheFirstInvalidOrIncompleteCharacter) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::size_t max;
        std::size_t length;
    };
    const Case cases[] = {
        {{0x61, 0x62, 0xC3, 0x28}, 4, 2},
        {std::vector<std::uint8_t>(20, 'a'), 16, 16},
        {{0x61, 0x00, 0x62}, 3, 1},
        {{0xC3, 0xA9, 0x61}, 3, 3},
        {{0xE2, 0x82, 0xAC}, 2, 0},
        {{0xF0, 0x9F, 0x98, 0x80, 0x21}, 5, 5},
        {{0xF0, 0x9F, 0x00, 0x80}, 4, 0},
        {{0x80, 0x61}, 2, 0},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, 5, 0},
        {{0xEF, 0xBB, 0xBF, 0xC3}, 4, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes) + " max " + std::to_string(c.max));
        EXPECT_EQ(kocrash_sysctl_valid_utf8_bytes_max(c.bytes.data(), c.max), c.length);
    }
    EXPECT_EQ(
        kocrash_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>("h\xC3\xA9llo")), 6u);
    EXPECT_EQ(kocrash_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>("ok\xE2\x82")),
              2u);
}
