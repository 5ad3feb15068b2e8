#include "ReporterTestSupport.h"

#include "support/Files.h"
#include "support/ImagesAnnounced.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

// The children of these tests crash on purpose: the address sanitizer must leave the fatal
// signals to the reporter, as a process without it does.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
}

namespace reportertest {

namespace {

// Far beyond what a crash and its report take, even under the emulator.
constexpr unsigned kHangGuardSeconds = 120;

} // namespace

ChildEnd runChild(const std::function<void()>& body) {
    testsupport::waitUntilImagesAnnounced();
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(kHangGuardSeconds);
        body();
        _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status) ? ChildEnd{WTERMSIG(status), 0} : ChildEnd{0, WEXITSTATUS(status)};
}

KOCrashReporterConfig ReportFolder::config(KOCrashReporterSignalHandlerType type,
                                           KOCrashReporterSymbolicationStrategy strategy,
                                           std::uint64_t maxReportBytes) const {
    return KOCrashReporterConfig(type, strategy, true, directory_.path().string(), maxReportBytes);
}

KOCrashReporter ReportFolder::reporter(const KOCrashReporterConfig& config) const {
    return KOCrashReporter("com.davaror.tests/crash", "7", "1.2", config);
}

std::optional<KOCrashReport> ReportFolder::loadPendingReport() const {
    const KOCrashReporter nextLaunch = reporter();
    EXPECT_TRUE(nextLaunch.hasPendingCrashReport());
    std::optional<KOError> error;
    const auto data = nextLaunch.loadPendingCrashReportDataAndReturnError(&error);
    if (!data) {
        ADD_FAILURE() << "no pending report: " << error->localizedDescription();
        return std::nullopt;
    }
    auto report = KOCrashReport::initWithData(*data, &error);
    EXPECT_TRUE(report.has_value()) << (error ? error->localizedDescription() : "");
    return report;
}

std::optional<KOCrashReport> ReportFolder::loadLaterReport() const {
    const std::filesystem::path path = reporter().laterCrashReportPath();
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    if (!std::filesystem::is_regular_file(path)) {
        return std::nullopt;
    }
    const std::string bytes = testsupport::readFile(path);
    std::optional<KOError> error;
    auto report = KOCrashReport::initWithData(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, &error);
    EXPECT_TRUE(report.has_value()) << (error ? error->localizedDescription() : "");
    return report;
}

void ReportFolder::recordThreadCount() const {
    testsupport::waitUntilImagesAnnounced();
    testsupport::writeFile(directory_.path() / "threads", std::to_string(threadCount()));
}

std::size_t ReportFolder::recordedThreadCount() const {
    return std::stoul(testsupport::readFile(directory_.path() / "threads"));
}

int threadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

} // namespace reportertest
