// A crash whose threads' frames (in the arm64 build, where stacks are walked) or custom data
// would take the report past maxReportBytes, in forked children: the report still ends whole
// under the cap.
#include "CrashingFunctions.h"
#include "DeepStack.h"
#include "ReporterTestSupport.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <pthread.h>
#include <unistd.h>

using namespace reportertest;

namespace {

constexpr int kThreads = 1000;
constexpr int kDepth = 200;

std::atomic<int> threadsDown{0};

// At the bottom of the stack, the crashing thread faults; every other thread waits there.
void faultAtTheBottom() {
    kocrash_test_store_to(0x10);
}

void waitAtTheBottom() {
    threadsDown.fetch_add(1);
    for (;;) {
        pause();
    }
}

void startWaitingThread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 128 * 1024);
    pthread_t thread;
    pthread_create(
        &thread, &attributes,
        [](void*) -> void* {
            kocrash_deep_descend(kDepth, waitAtTheBottom);
            return nullptr;
        },
        nullptr);
    pthread_attr_destroy(&attributes);
}

TEST(SizeCap, ThreadsGiveUpFramesSoThatTheReportEndsWholeUnderTheCap) {
#if !defined(__aarch64__)
    GTEST_SKIP() << "stacks are walked on 64-bit ARM only";
#endif
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        ReportFolder folder;
        const auto config = folder.config(mode, KOCrashReporterSymbolicationStrategyNone);
        const ChildEnd end = runChild([&] {
            if (!folder.reporter(config).enableCrashReporter()) {
                _exit(2);
            }
            for (int index = 0; index < kThreads; ++index) {
                startWaitingThread();
            }
            while (threadsDown.load() < kThreads) {
                usleep(1000);
            }
            folder.recordThreadCount();
            kocrash_deep_descend(kDepth, faultAtTheBottom);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        EXPECT_LE(std::filesystem::file_size(folder.reporter(config).crashReportPath()),
                  config.maxReportBytes());
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().address(), 0x10u);
        ASSERT_EQ(report->threads().size(), folder.recordedThreadCount());
        // The waiting threads that kept their whole stacks.
        int whole = 0;
        for (const auto& thread : report->threads()) {
            if (thread.crashed()) {
                EXPECT_GT(thread.stackFrames().size(), static_cast<std::size_t>(kDepth));
                EXPECT_FALSE(thread.registers().empty());
            } else if (thread.stackFrames().size() > static_cast<std::size_t>(kDepth)) {
                ++whole;
            }
        }
        EXPECT_LT(whole, kThreads) << "every thread kept its frames: the cap was never reached";
    }
}

// Custom data larger than the cap is cut to what the images and the rest leave, and the report
// says how much is missing; setting it says once that it cannot fit.
TEST(SizeCap, CustomDataYieldsToTheRestOfTheReport) {
    const std::size_t size = 1'100'000;
    KOCrashReportData data(size);
    for (std::size_t index = 0; index < size; ++index) {
        data[index] = static_cast<std::uint8_t>(index * 7);
    }
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        ReportFolder folder;
        const auto config = folder.config(mode);
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter(config);
            platform::log::ScopedCapture log;
            reporter.setCustomData(data);
            reporter.setCustomData(data);
            if (log.count("Custom data of 1100000 bytes cannot fit") != 1 ||
                !reporter.enableCrashReporter()) {
                _exit(2);
            }
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        EXPECT_LE(std::filesystem::file_size(folder.reporter(config).crashReportPath()),
                  config.maxReportBytes());
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().address(), 0x10u);
        EXPECT_FALSE(report->threads().empty());
        ASSERT_TRUE(report->customData());
        const auto& kept = *report->customData();
        EXPECT_GT(kept.size(), 0u);
        EXPECT_EQ(kept.size() + report->customDataOmittedBytes(), size);
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), data.begin()));
    }
}

} // namespace
