// Live reports: complete reports of a running process, read back and left nowhere on disk.
#include "BusyThreads.h"
#include "ReporterTestSupport.h"
#include "kocrash.pb-c.h"
#include "support/Files.h"
#include "support/ImagesAnnounced.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

using kocrash::NSPOSIXErrorDomain;

using namespace reportertest;

namespace {

// The live-report flag is not part of the decoded values: read it from the message itself.
bool userRequested(const KOCrashReportData& data) {
    constexpr std::size_t kHeader = 8;
    Kocrash__CrashReport* message =
        kocrash__crash_report__unpack(nullptr, data.size() - kHeader, data.data() + kHeader);
    EXPECT_NE(message, nullptr);
    const bool requested = message != nullptr && message->report_info != nullptr &&
                           message->report_info->user_requested;
    kocrash__crash_report__free_unpacked(message, nullptr);
    return requested;
}

class LiveReport : public testing::Test {
protected:
    void SetUp() override { setenv("TMPDIR", temporary_.path().c_str(), 1); }
    void TearDown() override {
        EXPECT_TRUE(testsupport::entryNames(temporary_.path()).empty()) << "a file left behind";
        unsetenv("TMPDIR");
    }

    ReportFolder folder_;
    testsupport::TemporaryDirectory temporary_;
};

TEST_F(LiveReport, OfTheCallingThreadCarriesTheTrapTheExceptionAndTheCustomData) {
    KOCrashReporter reporter = folder_.reporter();
    reporter.setCustomData(KOCrashReportData{});
    testsupport::waitUntilImagesAnnounced();
    std::optional<KOError> error;
    const auto data = reporter.generateLiveReportWithException(
        std::make_exception_ptr(std::invalid_argument("bad input")), &error);
    ASSERT_TRUE(data) << error->localizedDescription();
    EXPECT_TRUE(userRequested(*data));
    const auto report = KOCrashReport::initWithData(*data, &error);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo().code(), "TRAP_TRACE");
    EXPECT_EQ(report->threads().size(), static_cast<std::size_t>(threadCount()));
    ASSERT_TRUE(report->exceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::invalid_argument");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "bad input");
    EXPECT_EQ(report->customData(), KOCrashReportData{});
}

TEST_F(LiveReport, OfAnotherThreadLeavesTheCallingThreadOut) {
    BusyThreads busy(2);
    KOCrashReporter reporter = folder_.reporter();
    testsupport::waitUntilImagesAnnounced();
    const auto data = reporter.generateLiveReportWithThread(busy.port(0));
    ASSERT_TRUE(data);
    const auto report = KOCrashReport::initWithData(*data, nullptr);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->threads().size(), static_cast<std::size_t>(threadCount() - 1));
    EXPECT_FALSE(report->exceptionInfo());
    busy.stopAndJoin();
}

TEST_F(LiveReport, CutByTheSizeCapFailsInsteadOfReturningPartOfAReport) {
    KOCrashReporter reporter = folder_.reporter(folder_.config(
        KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSymbolicationStrategyNone, 64));
    std::optional<KOError> error;
    EXPECT_FALSE(reporter.generateLiveReportAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), KOCrashReporterErrorOther);
    EXPECT_EQ(error->localizedDescription(), "Failed to write the crash report to disk");
}

TEST_F(LiveReport, WithoutATemporaryFolderFailsWithTheSystemsCause) {
    KOCrashReporter reporter = folder_.reporter();
    testsupport::TemporaryDirectory elsewhere;
    testsupport::writeFile(elsewhere.path() / "file", "not a folder");
    const std::pair<const char*, int> cases[] = {{"file", ENOTDIR}, {"missing", ENOENT}};
    for (const auto& [name, cause] : cases) {
        SCOPED_TRACE(name);
        setenv("TMPDIR", (elsewhere.path() / name).c_str(), 1);
        std::optional<KOError> error;
        EXPECT_FALSE(reporter.generateLiveReportAndReturnError(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), KOCrashReporterErrorSystemCall);
        EXPECT_EQ(error->localizedDescription(), "Failed to create temporary path");
        ASSERT_TRUE(error->underlyingError());
        EXPECT_EQ(error->underlyingError()->domain(), NSPOSIXErrorDomain);
        EXPECT_EQ(error->underlyingError()->code(), cause);
    }
}

} // namespace
