// The crash log writer's sections as the project's decoder reads them back, and the exact head
// of a crash report.
#include "WriterReports.h"
#include "report/KOCrashReport.h"

#include "BusyThreads.h"
#include "NoReturnCall.h"

#include "platform/dyld/MachOImageMapping.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

class KOCrashLogWriterTest : public ::testing::Test {
protected:
    void SetUp() override { init(KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, "2.0"); }
    void TearDown() override { kocrash_log_writer_free(&writer_); }

    void init(kocrash_async_symbol_strategy strategy,
              std::optional<std::string_view> marketingVersion) {
        kocrash_log_writer_free(&writer_);
        ASSERT_EQ(kocrash_log_writer_init(&writer_, "com.example.app", "2.0.1", marketingVersion,
                                          strategy, false),
                  KOCRASH_ESUCCESS);
    }

    KOCrashReport decode(const ReportRequest& request = {}) {
        bytes_ = writeReport(&writer_, images_.get(), request, false);
        std::optional<KOError> error;
        std::optional<KOCrashReport> report = KOCrashReport::initWithData(bytes_, &error);
        EXPECT_TRUE(report) << (error ? error->localizedDescription() : "");
        EXPECT_TRUE(lengthPrefixesMatchBodies(bytes_));
        return report ? *report : throw std::runtime_error("report did not decode");
    }

    kocrash_log_writer writer_{};
    ProcessImageList images_;
    // A report needs one thread at least; the calling thread is left out.
    BusyThreads other_{1};
    std::vector<std::uint8_t> bytes_;
};

[[gnu::noinline]] void namedByTheSymbolTable() {
    asm volatile("");
}

TEST_F(KOCrashLogWriterTest, ACrashReportBeginsWithMagicVersionReportInfoAndSystemInfo) {
    decode();
    std::vector<std::uint8_t> head = {'k',  'o',  'c',  'r',  'a',  's',  'h',
                                      0x01, 0x4A, 0x14, 0x08, 0x00, 0x12, 0x10};
    head.insert(head.end(), std::begin(writer_.report_info.uuid),
                std::end(writer_.report_info.uuid));
    head.push_back(0x0A);
    ASSERT_GE(bytes_.size(), head.size());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes_.begin(), bytes_.begin() + head.size()), head);
}

TEST_F(KOCrashLogWriterTest, SignalNamesAndCodesFallBackToTheirNumbers) {
    const mach_exception_data_type_t codes[] = {1, -2};
    const kocrash_log_mach_signal_info mach{EXC_BAD_ACCESS, codes, 2};
    struct Case {
        kocrash_async_signal_info signal;
        const kocrash_log_mach_signal_info* mach;
        const char* name;
        const char* code;
    } cases[] = {
        {{11, 1, 0x10}, nullptr, "SIGSEGV", "SEGV_MAPERR"},
        {{11, 77, 0}, &mach, "SIGSEGV", "#77"},
        {{INT_MIN, INT_MIN, 0}, nullptr, "#-2147483648", "#-2147483648"},
        {{INT_MAX, -1, 0}, nullptr, "#2147483647", "#-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KOCrashReport report = decode({MACH_PORT_NULL, c.signal, c.mach});
        EXPECT_EQ(report.signalInfo().name(), c.name);
        EXPECT_EQ(report.signalInfo().code(), c.code);
        EXPECT_EQ(report.signalInfo().address(), c.signal.address);
        ASSERT_EQ(report.machExceptionInfo().has_value(), c.mach != nullptr);
        if (c.mach != nullptr) {
            EXPECT_EQ(report.machExceptionInfo()->type(), 1u);
            EXPECT_EQ(report.machExceptionInfo()->codes(),
                      (std::vector<std::uint64_t>{1, static_cast<std::uint64_t>(-2)}));
        }
    }
}

TEST_F(KOCrashLogWriterTest, CustomDataAndMarketingVersionStayPresentWhenEmpty) {
    init(KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, std::nullopt);
    EXPECT_FALSE(decode().customData());
    EXPECT_EQ(decode().applicationInfo().applicationMarketingVersion(), "");

    const std::vector<std::uint8_t> empty;
    kocrash_log_writer_set_custom_data(&writer_, std::span<const std::uint8_t>(empty));
    EXPECT_EQ(decode().customData(), std::vector<std::uint8_t>{});

    const std::vector<std::uint8_t> data = {0, 1, 0xFF};
    kocrash_log_writer_set_custom_data(&writer_, std::span<const std::uint8_t>(data));
    EXPECT_EQ(decode().customData(), data);

    kocrash_log_writer_set_custom_data(&writer_, std::nullopt);
    EXPECT_FALSE(decode().customData());
}

TEST_F(KOCrashLogWriterTest, ExceptionCallStackIsCutAt512FramesAndNamedUnlessStrategyIsNone) {
    const auto function = reinterpret_cast<std::uint64_t>(&namedByTheSymbolTable);
    const std::vector<std::uint64_t> addresses(600, function + 1);
    for (auto strategy :
         {KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE}) {
        init(strategy, "2.0");
        kocrash_log_writer_set_exception(&writer_, "NSRangeException", std::nullopt, addresses);
        const KOCrashReport report = decode();
        ASSERT_TRUE(report.exceptionInfo());
        EXPECT_EQ(report.exceptionInfo()->exceptionName(), "NSRangeException");
        EXPECT_EQ(report.exceptionInfo()->exceptionReason(), "");
        ASSERT_TRUE(report.exceptionInfo()->stackFrames());
        const auto& frames = *report.exceptionInfo()->stackFrames();
        ASSERT_EQ(frames.size(), 512u);
        const std::optional<KOCrashReportSymbolInfo>& symbol = frames.back().symbolInfo();
        if (strategy == KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE) {
            EXPECT_FALSE(symbol);
        } else {
            ASSERT_TRUE(symbol);
            EXPECT_EQ(symbol->startAddress(), function);
            EXPECT_NE(symbol->symbolName().find("namedByTheSymbolTable"), std::string::npos);
        }
    }
}

TEST_F(KOCrashLogWriterTest, AReturnAddressIsNamedAfterTheFunctionThatMadeTheCall) {
    const auto returnAddress = reinterpret_cast<std::uint64_t>(&kocrash_fixture_after_call);
    kocrash_log_writer_set_exception(&writer_, "NSGenericException", std::nullopt,
                                     std::vector<std::uint64_t>{returnAddress});
    const KOCrashReport report = decode();
    ASSERT_TRUE(report.exceptionInfo());
    ASSERT_TRUE(report.exceptionInfo()->stackFrames());
    const auto& frames = *report.exceptionInfo()->stackFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].instructionPointer(), returnAddress);
    const std::optional<KOCrashReportSymbolInfo>& symbol = frames[0].symbolInfo();
    ASSERT_TRUE(symbol);
    EXPECT_NE(symbol->symbolName().find("kocrash_fixture_call_last"), std::string::npos)
        << symbol->symbolName();
    EXPECT_EQ(symbol->startAddress(), reinterpret_cast<std::uint64_t>(&kocrash_fixture_call_last));
}

TEST_F(KOCrashLogWriterTest, SettingASecondExceptionStopsTheProcess) {
    kocrash_log_writer_set_exception(&writer_, "First", "reason", {});
    EXPECT_DEATH(kocrash_log_writer_set_exception(&writer_, "Second", "reason", {}),
                 "writer->uncaught_exception.has_exception == false");
}

// The fixture with its LC_UUID command renamed to a command nobody reads.
std::unique_ptr<platform::dyld::MachOImageMapping> mapWithoutUUID(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    std::uint32_t ncmds = 0;
    std::memcpy(&ncmds, file.data() + 16, 4);
    for (std::size_t at = sizeof(mach_header_64), command = 0; command < ncmds; ++command) {
        load_command header;
        std::memcpy(&header, file.data() + at, sizeof header);
        if (header.cmd == LC_UUID) {
            const std::uint32_t unread = 0x7FFF;
            std::memcpy(file.data() + at, &unread, 4);
        }
        at += header.cmdsize;
    }
    return platform::dyld::MachOImageMapping::fromBytes(file, path);
}

TEST_F(KOCrashLogWriterTest, ImagesCarryTheirUUIDOnlyWhenTheyHaveAnLCUUIDCommand) {
    const std::string path = std::string(KOCRASH_IMAGE_FIXTURE_DIR) + "/functions_arm64.dylib";
    const auto withUUID = platform::dyld::MachOImageMapping::map(path);
    const auto withoutUUID = mapWithoutUUID(path);
    ASSERT_TRUE(withUUID && withoutUUID);
    kocrash_nasync_image_list_append(images_.get(), withUUID->address(), "with-uuid");
    kocrash_nasync_image_list_append(images_.get(), withoutUUID->address(), "without-uuid");

    const KOCrashReport report = decode();
    const KOCrashReportBinaryImageInfo* with = report.imageForAddress(withUUID->address());
    const KOCrashReportBinaryImageInfo* without = report.imageForAddress(withoutUUID->address());
    ASSERT_TRUE(with && without);
    EXPECT_EQ(with->imageName(), "with-uuid");
    EXPECT_TRUE(with->hasImageUUID());
    EXPECT_EQ(without->imageName(), "without-uuid");
    EXPECT_FALSE(without->hasImageUUID());
    ASSERT_TRUE(without->codeType());
    EXPECT_EQ(without->codeType()->type(), static_cast<std::uint64_t>(CPU_TYPE_ARM64));
    kocrash_nasync_image_list_remove(images_.get(), withUUID->address());
    kocrash_nasync_image_list_remove(images_.get(), withoutUUID->address());
}

} // namespace
