// A crash whose threads' frames would take the report past maxReportBytes, in forked children
// of the arm64 build (where stacks are walked): the report still ends whole under the cap.
#include "CrashingFunctions.h"
#include "ReporterTestSupport.h"

#include <gtest/gtest.h>

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
[[gnu::noinline]] void atTheBottom(bool crash) {
    if (crash) {
        kocrash_test_store_to(0x10);
    }
    threadsDown.fetch_add(1);
    for (;;) {
        pause();
    }
}

// Seen from here it may return.
void (*volatile bottom)(bool) = atTheBottom;

[[gnu::noinline]] void descend(int depth, bool crash) {
    if (depth > 0) {
        descend(depth - 1, crash);
    } else {
        bottom(crash);
    }
    asm volatile("" ::: "memory");
}

void startWaitingThread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 128 * 1024);
    pthread_t thread;
    pthread_create(
        &thread, &attributes,
        [](void*) -> void* {
            descend(kDepth, false);
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
            descend(kDepth, true);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        EXPECT_LE(std::filesystem::file_size(folder.reporter(config).crashReportPath()),
                  config.maxReportBytes());
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().address(), 0x10u);
        ASSERT_EQ(report->threads().size(), folder.recordedThreadCount());
        std::size_t shortened = 0;
        for (const auto& thread : report->threads()) {
            if (thread.crashed()) {
                EXPECT_GT(thread.stackFrames().size(), static_cast<std::size_t>(kDepth));
                EXPECT_FALSE(thread.registers().empty());
            } else if (thread.stackFrames().size() < static_cast<std::size_t>(kDepth)) {
                ++shortened;
            }
        }
        EXPECT_GT(shortened, 0u) << "the frames fit without giving any up";
    }
}

} // namespace
