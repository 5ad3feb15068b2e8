#include "CrashReportMessages.h"
#include "KOCrashReport.h"
#include "KOCrashReportText.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::optional<KOCrashReport> decode(const std::vector<std::uint8_t>& file,
                                    std::optional<KOError>* error = nullptr) {
    return KOCrashReport::initWithData(file, error);
}

// The golden text of this report shows the rest: names, versions, frames, symbols, the arm64e
// pc masking and the images with their UUIDs.
TEST(KOCrashReportDecoder, FullReportKeepsTheValuesItsTextDoesNotShow) {
    CrashReportMessages messages;
    const KOCrashReport report = decodeValid(fullARM64Report(messages));

    const KOCrashReportProcessorInfo arm64e(KOCrashReportProcessorTypeEncoding::Mach, 0x100000C, 2);
    EXPECT_EQ(report.systemInfo(),
              KOCrashReportSystemInfo(KOCrashReportOperatingSystem::MacOSX, "14.2.1", "23C71",
                                      KOCrashReportArchitecture::Unknown, arm64e, 1700000000));
    ASSERT_TRUE(report.hasMachineInfo() && report.hasProcessInfo());
    EXPECT_EQ(*report.machineInfo(), KOCrashReportMachineInfo("Mac14,2", arm64e, 8, 16));
    EXPECT_EQ(*report.processInfo(),
              KOCrashReportProcessInfo("Notes", 4242,
                                       "/Applications/Notes.app/Contents/MacOS/Notes", 1699999000,
                                       "launchd", 1, true));
    EXPECT_EQ(report.machExceptionInfo(),
              KOCrashReportMachExceptionInfo(1, std::vector<std::uint64_t>{2, 0x10}));
    EXPECT_EQ(report.customData(),
              (std::vector<std::uint8_t>{'{', '"', 'a', '"', ':', '1', '}', 0x00, 0xFF}));
    const auto& crashed = report.threads()[0];
    EXPECT_EQ(crashed.stackFrames()[0].symbolInfo()->endAddress(), 0x100003F80u);
    EXPECT_EQ(crashed.stackFrames()[1].symbolInfo()->endAddress(), 0u);
    EXPECT_FALSE(crashed.stackFrames()[3].symbolInfo().has_value());
    EXPECT_TRUE(report.threads()[1].registers().empty());
    EXPECT_FALSE(report.images()[3].codeType().has_value());
    // A stored but empty UUID is no UUID.
    EXPECT_FALSE(report.images()[4].imageUUID().has_value());
}

TEST(KOCrashReportDecoder, MinimalReportLeavesAbsentSectionsAbsent) {
    CrashReportMessages messages;
    const KOCrashReport report = decodeValid(minimalReport(messages));

    EXPECT_EQ(report.systemInfo().operatingSystem(), KOCrashReportOperatingSystem::Unknown);
    EXPECT_FALSE(report.systemInfo().operatingSystemBuild().has_value());
    EXPECT_FALSE(report.systemInfo().timestamp().has_value());
    // Without machine information the processor comes from the architecture (ARMv7).
    EXPECT_EQ(report.systemInfo().processorInfo(),
              KOCrashReportProcessorInfo(KOCrashReportProcessorTypeEncoding::Mach, 12, 9));
    EXPECT_FALSE(report.applicationInfo().applicationMarketingVersion().has_value());
    EXPECT_FALSE(report.hasMachineInfo());
    EXPECT_FALSE(report.hasProcessInfo());
    EXPECT_FALSE(report.hasExceptionInfo());
    EXPECT_FALSE(report.machExceptionInfo().has_value());
    EXPECT_FALSE(report.customData().has_value());
    EXPECT_FALSE(report.uuidRef().has_value());
    EXPECT_EQ(report.threads().size(), 1u);
    EXPECT_EQ(report.images().size(), 1u);
}

TEST(KOCrashReportDecoder, OptionalValuesStoredEmptyOrZeroStayPresent) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    message->has_custom_data = 1;
    message->custom_data = messages.bytes({});
    message->process_info = messages.make(kocrash__crash_report__process_info__init);
    message->process_info->has_start_time = 1;
    message->process_info->start_time = 0;
    message->application_info->marketing_version = messages.text("");
    message->exception = messages.make(kocrash__crash_report__exception__init);
    message->exception->name = messages.text("E");
    message->exception->reason = messages.text("");

    const KOCrashReport report = decodeValid(message);
    EXPECT_EQ(report.customData(), std::vector<std::uint8_t>{});
    EXPECT_EQ(report.processInfo()->processStartTime(), 0u);
    EXPECT_FALSE(report.processInfo()->processName().has_value());
    EXPECT_EQ(report.applicationInfo().applicationMarketingVersion(), "");
    // No stored frames: no frame list at all, not an empty one.
    EXPECT_FALSE(report.exceptionInfo()->stackFrames().has_value());
}

TEST(KOCrashReportDecoder, EnumerationsKeepUnnamedStoredValues) {
    CrashReportMessages messages;
    auto* message = fullARM64Report(messages);
    setStoredEnum(message->system_info->operating_system, -5);
    setStoredEnum(message->system_info->architecture, 99);
    setStoredEnum(message->machine_info->processor->encoding, 7);
    const KOCrashReport report = decodeValid(message);
    EXPECT_EQ(static_cast<std::int32_t>(report.systemInfo().operatingSystem()), -5);
    // With machine information the architecture is not needed for the processor.
    EXPECT_EQ(static_cast<std::int32_t>(report.systemInfo().architecture()), 99);
    EXPECT_EQ(static_cast<std::int32_t>(report.machineInfo()->processorInfo()->typeEncoding()), 7);
}

TEST(KOCrashReportDecoder, SynthesisesTheProcessorOfEveryKnownArchitecture) {
    const std::pair<Kocrash__Architecture, KOCrashReportProcessorInfo> cases[] = {
        {KOCRASH__ARCHITECTURE__X86_32, {KOCrashReportProcessorTypeEncoding::Mach, 7, 3}},
        {KOCRASH__ARCHITECTURE__X86_64, {KOCrashReportProcessorTypeEncoding::Mach, 0x1000007, 3}},
        {KOCRASH__ARCHITECTURE__ARMV6, {KOCrashReportProcessorTypeEncoding::Mach, 12, 6}},
        {KOCRASH__ARCHITECTURE__PPC, {KOCrashReportProcessorTypeEncoding::Mach, 18, 0}},
        {KOCRASH__ARCHITECTURE__PPC64, {KOCrashReportProcessorTypeEncoding::Mach, 0x1000012, 0}},
        {KOCRASH__ARCHITECTURE__ARMV7, {KOCrashReportProcessorTypeEncoding::Mach, 12, 9}},
    };
    for (const auto& [architecture, processor] : cases) {
        CrashReportMessages messages;
        auto* message = minimalReport(messages);
        message->system_info->architecture = architecture;
        EXPECT_EQ(decodeValid(message).systemInfo().processorInfo(), processor) << architecture;
    }
}

TEST(KOCrashReportDecoder, KeepsThePcUnlessTheMachineIsArm64e) {
    for (const std::uint64_t subtype : {0u, 1u, 3u}) {
        CrashReportMessages messages;
        auto* message = fullARM64Report(messages);
        message->machine_info->processor->subtype = subtype;
        const KOCrashReport report = decodeValid(message);
        EXPECT_EQ(report.threads()[0].stackFrames()[1].instructionPointer(), 0x8000000100003E9Cu);
        EXPECT_EQ(report.exceptionInfo()->stackFrames()->at(0).instructionPointer(),
                  0x8000000100003F10u);
    }
}

TEST(KOCrashReportDecoder, ReplacesInvalidUtf8InStoredTexts) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    message->application_info->identifier = messages.text("com.\xFF"
                                                          "bad\xC3");
    message->signal->name = messages.text("SIG\xE2\x82");
    message->binary_images[0]->name = messages.text("/bin/\xED\xA0\x80x");
    const KOCrashReport report = decodeValid(message);
    EXPECT_EQ(report.applicationInfo().applicationIdentifier(), "com.\uFFFDbad\uFFFD");
    EXPECT_EQ(report.signalInfo().name(), "SIG\uFFFD\uFFFD");
    EXPECT_EQ(report.images()[0].imageName(), "/bin/\uFFFD\uFFFD\uFFFDx");
}

TEST(KOCrashReportText, Utf8ValidationReplacesEachInvalidByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xC3\xA9t\xF0\x9F\x92\xA5", "\xC3\xA9t\xF0\x9F\x92\xA5"},
        {"\x80", "\uFFFD"},
        {"\xC0\xAF", "\uFFFD\uFFFD"},                     // overlong "/"
        {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(kocrash_report_valid_utf8(input), expected);
    }
}

TEST(KOCrashReportDecoder, Accepts255MachExceptionCodes) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    message->signal->mach_exception =
        messages.make(kocrash__crash_report__signal__mach_exception__init);
    message->signal->mach_exception->n_codes = 255;
    message->signal->mach_exception->codes = messages.numbers(std::vector<std::uint64_t>(255, 7));
    EXPECT_EQ(decodeValid(message).machExceptionInfo()->codes().size(), 255u);
}

// A process out of memory may list no thread: the rest of its report still counts.
TEST(KOCrashReportDecoder, AReportWithoutThreadsKeepsWhatItHolds) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    message->n_threads = 0;
    const KOCrashReport report = decodeValid(message);
    EXPECT_TRUE(report.threads().empty());
    EXPECT_FALSE(report.images().empty());
    EXPECT_FALSE(report.signalInfo().name().empty());
}

std::vector<std::uint8_t>
packedMinimal(const std::function<void(CrashReportMessages&, Kocrash__CrashReport*)>& change =
                  [](auto&, auto*) {}) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    change(messages, message);
    return packWithProtobufC(message);
}

std::vector<std::uint8_t> withByte(std::size_t index, std::uint8_t value) {
    auto file = packedMinimal();
    file[index] = value;
    return file;
}

TEST(KOCrashReportDecoder, RejectsEveryDamagedFileWithItsReason) {
    const std::vector<std::uint8_t> header = {'k', 'o', 'c', 'r', 'a', 's', 'h', 1};
    auto notAMessage = header;
    notAMessage.insert(notAMessage.end(), {0xFF, 0xFF, 0xFF});
    // Only the leading system_info field of a valid report.
    auto requiredMissing = packedMinimal();
    requiredMissing.resize(8 + 2 + requiredMissing[9]);
    const std::pair<std::vector<std::uint8_t>, std::string> failures[] = {
        {{}, "Could not decode truncated crash log"},
        {header, "Could not decode truncated crash log"},
        {withByte(0, 'K'), "Could not decode invalid crash log header"},
        {withByte(7, 2), "Could not decode unsupported crash report version: 2"},
        {notAMessage, "Could not decode crash report with size of 3 bytes."},
        {requiredMissing, "Could not decode crash report with size of 12 bytes."},
        {packedMinimal([](CrashReportMessages& messages, Kocrash__CrashReport* report) {
             report->report_info = messages.make(kocrash__crash_report__report_info__init);
             report->report_info->has_uuid = 1;
             report->report_info->uuid = messages.bytes(std::vector<std::uint8_t>(15, 1));
         }),
         "Report UUID value is not a standard 16 bytes"},
        {packedMinimal([](auto&, Kocrash__CrashReport* report) {
             report->system_info->architecture = KOCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
         }),
         "Crash report has an unknown architecture"},
        {packedMinimal([](auto&, Kocrash__CrashReport* report) {
             setStoredEnum(report->system_info->architecture, -1);
         }),
         "Crash report has an unknown architecture"},
        {packedMinimal([](CrashReportMessages& messages, Kocrash__CrashReport* report) {
             auto* exception = messages.make(kocrash__crash_report__signal__mach_exception__init);
             exception->n_codes = 256;
             exception->codes = messages.numbers(std::vector<std::uint64_t>(256, 1));
             report->signal->mach_exception = exception;
         }),
         "Crash report includes too many Mach Exception codes"},
        {packedMinimal([](auto&, Kocrash__CrashReport* report) { report->n_binary_images = 0; }),
         "Crash report is missing binary image information"},
    };
    for (const auto& [file, description] : failures) {
        SCOPED_TRACE(description);
        std::optional<KOError> error;
        EXPECT_FALSE(decode(file, &error).has_value());
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain(), KOCrashReporterErrorDomain);
        EXPECT_EQ(error->code(), KOCrashReporterErrorInvalidReport);
        EXPECT_EQ(error->localizedDescription(), description);
        EXPECT_EQ(error->underlyingError(), nullptr);
        // Without an out-pointer the failure is only the missing report.
        EXPECT_FALSE(decode(file, nullptr).has_value());
    }
}

TEST(KOCrashReportDecoder, ImageForAddressUsesHalfOpenRangesInReportOrder) {
    CrashReportMessages messages;
    auto* message = minimalReport(messages);
    std::vector<Kocrash__CrashReport__BinaryImage*> images = {
        messages.image(0x1000, 0x1000, "/first"), messages.image(0x1800, 0x1000, "/overlapping"),
        messages.image(0xFFFFFFFFFFFFF000, 0x2000, "/wrapping"),
        messages.image(0x9000, 0, "/empty")};
    message->n_binary_images = images.size();
    message->binary_images = messages.list(images);
    const KOCrashReport report = decodeValid(message);

    const auto nameAt = [&report](std::uint64_t address) -> std::string {
        const auto* image = report.imageForAddress(address);
        return image ? image->imageName() : "none";
    };
    EXPECT_EQ(nameAt(0xFFF), "none");
    EXPECT_EQ(nameAt(0x1000), "/first");
    EXPECT_EQ(nameAt(0x1800), "/first");
    EXPECT_EQ(nameAt(0x2000), "/overlapping");
    EXPECT_EQ(nameAt(0x2800), "none");
    EXPECT_EQ(nameAt(0x9000), "none");
    // An image reaching past the top of the address space holds its tail, and its range
    // does not wrap around to low addresses.
    EXPECT_EQ(nameAt(0xFFFFFFFFFFFFFFFF), "/wrapping");
    EXPECT_EQ(nameAt(0x10), "none");
}

} // namespace
