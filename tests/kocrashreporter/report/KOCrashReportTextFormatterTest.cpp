#include "KOCrashReportTextFormatter.h"
#include "CrashReportMessages.h"
#include "KOCrashReportTextNames.h"
#include "WriterPacking.h"

#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::string text(const Kocrash__CrashReport* message) {
    return KOCrashReportTextFormatter::stringValueForCrashReport(decodeValid(message),
                                                                 KOCrashReportTextFormat::Standard);
}

std::string goldenPath(const std::string& name) {
    return std::string(KOCRASH_REPORT_TEST_DIR) + "/golden/" + name;
}

// The crash-time encoder and protobuf-c agree byte for byte on whole reports, so what the
// writer produces decodes to the same report and prints the golden text.
// KOCRASH_UPDATE_GOLDEN=1 rewrites the golden files from the current output; review the
// diff before committing it.
TEST(KOCrashReportTextFormatter, WriterAndProtobufCFilesPrintTheGoldenTexts) {
    const std::pair<const char*, Kocrash__CrashReport* (*)(CrashReportMessages&)> cases[] = {
        {"arm64.txt", fullARM64Report},
        {"arm32.txt", arm32Report},
        {"no_crashed_thread.txt", noCrashedThreadReport},
        {"exception.txt", exceptionReport},
        {"minimal.txt", minimalReport},
    };
    for (const auto& [golden, fixture] : cases) {
        SCOPED_TRACE(golden);
        CrashReportMessages messages;
        const Kocrash__CrashReport* message = fixture(messages);
        const auto byWriter = packReportWithWriter(&message->base);
        EXPECT_EQ(byWriter, packWithProtobufC(message));

        std::optional<KOError> error;
        const auto fromWriter = KOCrashReport::initWithData(byWriter, &error);
        ASSERT_TRUE(fromWriter.has_value()) << error->localizedDescription();
        EXPECT_EQ(*fromWriter, decodeValid(message));
        const std::string text = KOCrashReportTextFormatter::stringValueForCrashReport(
            *fromWriter, KOCrashReportTextFormat::Standard);
        if (std::getenv("KOCRASH_UPDATE_GOLDEN") != nullptr) {
            testsupport::writeFile(goldenPath(golden), text);
        }
        EXPECT_EQ(text, testsupport::readFile(goldenPath(golden)));
    }
}

TEST(KOCrashReportTextFormatter, FormatReportEncodesTheTextAndNeverFails) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    message->application_info->identifier = messages.text("caf\xC3\xA9-\xF0\x9F\x92\xA5");
    const KOCrashReport report = decodeValid(message);
    const std::string utf8 = KOCrashReportTextFormatter::stringValueForCrashReport(
        report, KOCrashReportTextFormat::Standard);

    std::optional<KOError> error;
    const auto asUtf8 = KOCrashReportTextFormatter(KOCrashReportTextFormat::Standard,
                                                   KOCrashReportStringEncoding::UTF8)
                            .formatReport(report, &error);
    ASSERT_TRUE(asUtf8.has_value());
    EXPECT_EQ(std::string(asUtf8->begin(), asUtf8->end()), utf8);

    const auto asASCII = KOCrashReportTextFormatter(KOCrashReportTextFormat::Standard,
                                                    KOCrashReportStringEncoding::ASCII)
                             .formatReport(report, &error);
    const std::string ascii(asASCII->begin(), asASCII->end());
    EXPECT_NE(ascii.find("Identifier:      caf?-?\n"), std::string::npos);
    EXPECT_EQ(ascii.size(), utf8.size() - 4);
    EXPECT_FALSE(error.has_value());
}

TEST(KOCrashReportTextFormatter, PadsImageNamesBySixteenBitUnits) {
    CrashReportMessages messages;
    auto* message = noCrashedThreadReport(messages);
    // One character outside the basic plane (two units) and one inside it (one unit).
    message->binary_images[0]->name = messages.text("/tmp/\xF0\x9F\x92\xA5\xC3\xA9");
    const std::string log = text(message);
    EXPECT_NE(log.find("0   \xF0\x9F\x92\xA5\xC3\xA9" + std::string(32, ' ') +
                       " 0x000000010a000010 start + 16\n"),
              std::string::npos)
        << log;
}

// The golden texts show the rule for macOS, iOS, the simulator and an unknown system.
TEST(KOCrashReportTextFormatter, SymbolPrefixRulesFollowTheOperatingSystem) {
    CrashReportMessages messages;
    auto* message = noCrashedThreadReport(messages);
    message->system_info->operating_system =
        KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__APPLE_TVOS;
    EXPECT_NE(text(message).find(" 0x000000010a000010 start + 16\n"), std::string::npos);
    message->threads[0]->frames[0]->symbol->name = messages.text("_");
    EXPECT_NE(text(message).find(" _ + 16\n"), std::string::npos);
}

TEST(KOCrashReportTextFormatter, CodeTypeComesFromTheFirstKnownImageThenTheHost) {
    struct Processor {
        std::uint64_t type, subtype;
        bool mach = true;
    };
    const Processor arm{12, 9}, x86_64{0x1000007, 3}, unknownType{99, 0},
        otherEncoding{12, 9, false};
    const struct {
        std::optional<Processor> firstImage;
        Processor host;
        std::string name;
        bool lp64;
    } cases[] = {
        {arm, x86_64, "ARM", false},
        {unknownType, x86_64, "X86-64", true},
        {otherEncoding, arm, "ARM", false},
        {std::nullopt, unknownType, "Unknown (99)", true},
        {std::nullopt, otherEncoding, "Unknown", true},
    };
    for (const auto& c : cases) {
        CrashReportMessages messages;
        const auto processor = [&messages](const Processor& p) {
            auto* stored = messages.processor(p.type, p.subtype);
            if (!p.mach) {
                stored->encoding =
                    KOCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN;
            }
            return stored;
        };
        auto* message = minimalReport(messages);
        message->machine_info = messages.make(kocrash__crash_report__machine_info__init);
        message->machine_info->processor = processor(c.host);
        if (c.firstImage) {
            message->binary_images[0]->code_type = processor(*c.firstImage);
        }
        const auto codeType = kocrash_text_code_type(decodeValid(message));
        EXPECT_EQ(codeType.name, c.name);
        EXPECT_EQ(codeType.lp64, c.lp64);
    }
}

// The golden texts show the ARM names of 32-bit and 64-bit images.
TEST(KOCrashReportTextNames, OperatingSystemAndArchitectureNames) {
    EXPECT_EQ(kocrash_text_operating_system_name(KOCrashReportOperatingSystem::iPhoneSimulator),
              "Mac OS X");
    EXPECT_EQ(kocrash_text_operating_system_name(KOCrashReportOperatingSystem::AppleTVOS),
              "Apple tvOS");
    EXPECT_EQ(kocrash_text_operating_system_name(static_cast<KOCrashReportOperatingSystem>(-7)),
              "Unknown (-7)");

    const auto name = [](std::uint64_t type, std::uint64_t subtype) {
        return kocrash_text_architecture_name(
            KOCrashReportProcessorInfo(KOCrashReportProcessorTypeEncoding::Mach, type, subtype));
    };
    EXPECT_EQ(name(7, 3), "i386");
    EXPECT_EQ(name(0x1000007, 3), "x86_64");
    EXPECT_EQ(name(18, 0), "powerpc");
    EXPECT_EQ(name(12, 0x7F000009), "armv7");
    EXPECT_EQ(name(0x100000C, 1), "armv8");
    EXPECT_EQ(name(0x100000C, 3), "arm64-unknown");
    EXPECT_EQ(name(0x1000012, 0), "???");
    EXPECT_EQ(kocrash_text_architecture_name(std::nullopt), "???");
    EXPECT_EQ(kocrash_text_architecture_name(
                  KOCrashReportProcessorInfo(KOCrashReportProcessorTypeEncoding::Unknown, 7, 3)),
              "???");
}

TEST(KOCrashReportTextNames, DatesRenderInUtcAndOutOfRangeDatesAsTheirNumber) {
    EXPECT_EQ(kocrash_text_date(1700000000), "2023-11-14 22:13:20 +0000");
    EXPECT_EQ(kocrash_text_date(-1), "1969-12-31 23:59:59 +0000");
    EXPECT_EQ(kocrash_text_date(-62135596800), "0001-01-01 00:00:00 +0000");
    EXPECT_EQ(kocrash_text_date(253402300799), "9999-12-31 23:59:59 +0000");
    EXPECT_EQ(kocrash_text_date(253402300800), "253402300800");
    EXPECT_EQ(kocrash_text_date(INT64_MAX), "9223372036854775807");
    EXPECT_EQ(kocrash_text_date(INT64_MIN), "-9223372036854775808");
}

TEST(KOCrashReportTextNames, LastPathComponent) {
    EXPECT_EQ(kocrash_text_last_path_component("/usr/lib/dyld"), "dyld");
    EXPECT_EQ(kocrash_text_last_path_component("dyld"), "dyld");
    EXPECT_EQ(kocrash_text_last_path_component("/a/b/"), "b");
    EXPECT_EQ(kocrash_text_last_path_component("/"), "/");
    EXPECT_EQ(kocrash_text_last_path_component(""), "");
}

} // namespace
