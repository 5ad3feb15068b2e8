// Configuration, identity, report folders and enabling, without crashing. Enabling is once per
// process, so every enable runs in a forked child that reports back through its exit code.
#include "ReporterTestSupport.h"
#include "platform/mach/MachMessages.h"
#include "platform/mach/MachPorts.h"
#include "reporter/KOCrashReporterException.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using platform::mach::mach_port_allocate;
using platform::mach::mach_task_self;

using kocrash::NSPOSIXErrorDomain;

using namespace reportertest;
namespace fs = std::filesystem;

namespace {

TEST(Config, DefaultsAndStrategyMapping) {
    const KOCrashReporterConfig config = KOCrashReporterConfig::defaultConfiguration();
    EXPECT_EQ(config.signalHandlerType(), KOCrashReporterSignalHandlerTypeBSD);
    EXPECT_EQ(config.maxReportBytes(), 1048576u);
    EXPECT_TRUE(config.shouldRegisterUncaughtExceptionHandler());
    EXPECT_FALSE(config.basePath());
    const std::pair<unsigned long, kocrash_async_symbol_strategy> mappings[] = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0}, {7, 3}};
    for (const auto& [strategy, mapped] : mappings) {
        EXPECT_EQ(KOCrashReporter::mapToAsyncSymbolicationStrategy(
                      static_cast<KOCrashReporterSymbolicationStrategy>(strategy)),
                  mapped)
            << strategy;
    }
}

TEST(Layout, FoldersFollowTheBaseAndTheIdentifier) {
    testsupport::TemporaryDirectory base;
    const KOCrashReporter reporter("a/b/c", "1", std::nullopt,
                                   KOCrashReporterConfig(base.path().string()));
    EXPECT_EQ(reporter.crashReportDirectory().parent_path().parent_path(), base.path());
    EXPECT_EQ(reporter.crashReportDirectory().filename(), "a_b_c");
    EXPECT_EQ(reporter.crashReportPath(), reporter.crashReportDirectory() / "live_report.kocrash");
    EXPECT_EQ(reporter.queuedCrashReportDirectory(),
              reporter.crashReportDirectory() / "queued_reports");

    const char* savedCache = std::getenv("XDG_CACHE_HOME");
    const std::string restore = savedCache != nullptr ? savedCache : "";
    setenv("XDG_CACHE_HOME", base.path().c_str(), 1);
    EXPECT_EQ(KOCrashReporter("x", "1", std::nullopt, KOCrashReporterConfig())
                  .crashReportDirectory()
                  .parent_path()
                  .parent_path(),
              base.path());
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(KOCrashReporter("x", "1", std::nullopt, KOCrashReporterConfig())
                  .crashReportDirectory()
                  .parent_path()
                  .parent_path(),
              fs::path(std::getenv("HOME")) / ".cache");
    if (savedCache != nullptr) {
        setenv("XDG_CACHE_HOME", restore.c_str(), 1);
    }
}

TEST(Identity, TheProcessNameStandsInForAMissingBundleIdentifier) {
    const platform::Bundle bundle;
    testsupport::TemporaryDirectory base;
    const KOCrashReporter reporter(bundle, KOCrashReporterConfig(base.path().string()));
    EXPECT_EQ(reporter.crashReportDirectory().filename(), program_invocation_short_name);
}

TEST(PendingReport, OnlyAFileIsPendingAndUnreadableReportsFailWithTheFileSystemError) {
    ReportFolder folder;
    KOCrashReporter reporter = folder.reporter();
    fs::create_directories(reporter.crashReportDirectory());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    std::optional<KOError> error;
    EXPECT_FALSE(reporter.loadPendingCrashReportDataAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(error->code(), ENOENT);
    error.reset();
    EXPECT_FALSE(reporter.purgePendingCrashReportAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ENOENT);

    testsupport::writeFile(reporter.crashReportPath(), "kocrash\x01");
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    EXPECT_EQ(reporter.loadPendingCrashReportData(),
              KOCrashReportData({'k', 'o', 'c', 'r', 'a', 's', 'h', 1}));
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());

    fs::create_directory(reporter.crashReportPath());
    error.reset();
    EXPECT_FALSE(reporter.loadPendingCrashReportDataAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(error->code(), EISDIR);
}

// A link is not followed, a FIFO is not waited on, and a file larger than the cap that a crash
// writes under is refused unread.
TEST(PendingReport, OnlyARegularFileWithinTheCapIsRead) {
    constexpr std::uint64_t kCap = 4096;
    ReportFolder folder;
    KOCrashReporter reporter = folder.reporter(folder.config(
        KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSymbolicationStrategyNone, kCap));
    const fs::path path = reporter.crashReportPath();
    const fs::path elsewhere = reporter.crashReportDirectory().parent_path() / "elsewhere";
    fs::create_directories(reporter.crashReportDirectory());
    testsupport::writeFile(elsewhere, "kocrash\x01");
    const std::pair<std::function<void()>, int> refused[] = {
        {[&] { fs::create_symlink(elsewhere, path); }, ELOOP},
        {[&] { testsupport::writeFile(path, std::string(kCap + 1, 'x')); }, EFBIG},
        {[&] { mkfifo(path.c_str(), 0644); }, EINVAL},
    };
    for (const auto& [plant, errnoValue] : refused) {
        SCOPED_TRACE(errnoValue);
        plant();
        std::optional<KOError> error;
        EXPECT_FALSE(reporter.loadPendingCrashReportDataAndReturnError(&error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), errnoValue);
        fs::remove(path);
    }
    testsupport::writeFile(path, std::string(kCap, 'x'));
    EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), kCap);
}

// Exit codes of the enabling children: 0 when every expectation held, else the failed step.
enum : int { kPassed = 0, kFirstEnable = 10, kSecondEnable, kNoHandler, kFolders, kCallbacks };

TEST(Enable, OncePerProcessWithExactTextAndCode) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        umask(077);
        KOCrashReporter first = folder.reporter();
        if (!first.enableCrashReporter()) {
            _exit(kFirstEnable);
        }
        struct stat status {};
        if (stat(first.queuedCrashReportDirectory().c_str(), &status) != 0 ||
            (status.st_mode & 0777) != 0755) {
            _exit(kFolders);
        }
        try {
            const KOCrashReporterCallbacks callbacks{0, nullptr, nullptr};
            first.setCrashCallbacks(&callbacks);
            _exit(kCallbacks);
        } catch (const KOCrashReporterException& exception) {
            if (exception.reason() != "The crash reporter has already been enabled") {
                _exit(kCallbacks);
            }
        }
        for (KOCrashReporter* again : {&first, new KOCrashReporter(folder.reporter())}) {
            std::optional<KOError> error;
            if (again->enableCrashReporterAndReturnError(&error) || !error ||
                error->code() != KOCrashReporterErrorAlreadyEnabled ||
                error->localizedDescription() !=
                    "A KOCrashReporter instance has already been enabled") {
                _exit(kSecondEnable);
            }
        }
        _exit(kPassed);
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, kPassed);
}

TEST(Enable, UnknownHandlerTypeInstallsNothing) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter =
            folder.reporter(folder.config(static_cast<KOCrashReporterSignalHandlerType>(7)));
        if (!reporter.enableCrashReporter()) {
            _exit(kFirstEnable);
        }
        struct sigaction action {};
        sigaction(SIGSEGV, nullptr, &action);
        _exit(action.sa_handler == SIG_DFL ? kPassed : kNoHandler);
    });
    EXPECT_EQ(end.exitCode, kPassed);
}

TEST(Enable, AFileInPlaceOfTheFolderFailsAndKeepsTheFlag) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        fs::create_directories(reporter.crashReportDirectory().parent_path());
        testsupport::writeFile(reporter.crashReportDirectory(), "in the way");
        std::optional<KOError> error;
        if (reporter.enableCrashReporterAndReturnError(&error) || !error ||
            error->domain() != NSPOSIXErrorDomain || error->code() != ENOTDIR) {
            _exit(kFirstEnable);
        }
        error.reset();
        if (reporter.enableCrashReporterAndReturnError(&error) ||
            error->code() != KOCrashReporterErrorAlreadyEnabled) {
            _exit(kSecondEnable);
        }
        _exit(kPassed);
    });
    EXPECT_EQ(end.exitCode, kPassed);
}

TEST(Enable, AFailedInstallLeavesTheInstanceDisabled) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        // With the port space used up the exception server cannot be made.
        for (mach_port_t port = MACH_PORT_NULL;
             mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port) ==
             KERN_SUCCESS;) {
        }
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        std::optional<KOError> error;
        if (reporter.enableCrashReporterAndReturnError(&error) || !error ||
            error->code() != KOCrashReporterErrorSystemCall ||
            error->localizedDescription() != "Failed to instantiate the Mach exception server.") {
            _exit(kFirstEnable);
        }
        try {
            const KOCrashReporterCallbacks callbacks{0, nullptr, nullptr};
            reporter.setCrashCallbacks(&callbacks);
        } catch (const KOCrashReporterException&) {
            _exit(kCallbacks);
        }
        error.reset();
        if (reporter.enableCrashReporterAndReturnError(&error) ||
            error->code() != KOCrashReporterErrorAlreadyEnabled) {
            _exit(kSecondEnable);
        }
        _exit(kPassed);
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, kPassed);
}

} // namespace
