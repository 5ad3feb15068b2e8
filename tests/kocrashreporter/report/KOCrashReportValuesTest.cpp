#include "KOCrashReportBinaryImageInfo.h"
#include "KOCrashReportCrashInfo.h"
#include "KOCrashReportText.h"

#include <gtest/gtest.h>

namespace {

KOCrashReportBinaryImageInfo imageWithUUID(std::optional<std::span<const std::uint8_t>> uuid) {
    return {std::nullopt, 0x1000, 0x10, "/a", uuid};
}

TEST(KOCrashReportBinaryImageInfo, UUIDIsLowerCaseHexInByteOrder) {
    std::vector<std::uint8_t> bytes(16);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    const auto image = imageWithUUID(bytes);
    EXPECT_TRUE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), "000102030405060708090a0b0c0d0e0f");

    const std::vector<std::uint8_t> odd = {0xAB, 0xF0, 0x0F};
    EXPECT_EQ(imageWithUUID(odd).imageUUID(), "abf00f");
}

TEST(KOCrashReportBinaryImageInfo, NoUUIDBytesMeansNoUUID) {
    const auto image = imageWithUUID(std::nullopt);
    EXPECT_FALSE(image.hasImageUUID());
    EXPECT_FALSE(image.imageUUID().has_value());
}

TEST(KOCrashReportValues, ConvenienceInitialisersLeaveTheRestAbsent) {
    const KOCrashReportSystemInfo short_(KOCrashReportOperatingSystem::iPhoneOS, "9.0",
                                         KOCrashReportArchitecture::ARMv7, 5);
    EXPECT_FALSE(short_.operatingSystemBuild().has_value());
    EXPECT_FALSE(short_.processorInfo().has_value());
    EXPECT_EQ(short_.timestamp(), 5);

    const KOCrashReportSystemInfo withBuild(KOCrashReportOperatingSystem::iPhoneOS, "9.0", "13A",
                                            KOCrashReportArchitecture::ARMv7, std::nullopt);
    EXPECT_EQ(withBuild.operatingSystemBuild(), "13A");
    EXPECT_FALSE(withBuild.processorInfo().has_value());

    const KOCrashReportExceptionInfo exception("Name", "Reason");
    EXPECT_FALSE(exception.stackFrames().has_value());
}

TEST(KOCrashReportText, Utf8ValidationReplacesEachInvalidByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"\xF0\x9F\x92\xA5", "\xF0\x9F\x92\xA5"},
        {"\x80", "\uFFFD"},
        {"\xC0\xAF", "\uFFFD\uFFFD"},                     // overlong "/"
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},           // a surrogate
        {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"a\xE2\x82", "a\uFFFD\uFFFD"},                   // cut short at the end
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(kocrash_report_valid_utf8(input), expected);
    }
}

TEST(KOCrashReportText, Utf16LengthCountsSurrogatePairsTwice) {
    EXPECT_EQ(kocrash_report_utf16_length(""), 0u);
    EXPECT_EQ(kocrash_report_utf16_length("abc"), 3u);
    EXPECT_EQ(kocrash_report_utf16_length("\xC3\xA9t\xE2\x82\xAC"), 3u);
    EXPECT_EQ(kocrash_report_utf16_length("\xF0\x9F\x92\xA5!"), 3u);
}

} // namespace
