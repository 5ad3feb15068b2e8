// Libraries opened after the reporter is enabled, as an application opens plugins: a crash inside
// one is reported with the plugin's image and, in the arm64 build, with its functions named and
// walked through by their call-frame information; a closed plugin is no longer listed; a crash
// while another thread keeps opening and closing libraries still leaves one whole report; and a
// closed plugin's image is not released while a report being written may read it.
#include "CrashingFunctions.h"
#include "ReporterTestSupport.h"
#include "reporter/KOCrashReporterCrashContext.h"

#include "FreshProcess.h"
#include "TestPlugin.h"
#include "platform/dyld/DyldImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <link.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using kocrash::shared_image_list;

using platform::dyld::_dyld_image_count;

using namespace reportertest;

namespace {

constexpr std::uintptr_t kFaultAddress = 0x10;

const KOCrashReportBinaryImageInfo* imageNamed(const KOCrashReport& report,
                                               const std::string& path) {
    const auto& images = report.images();
    auto found = std::find_if(images.begin(), images.end(),
                              [&](const auto& image) { return image.imageName() == path; });
    return found != images.end() ? &*found : nullptr;
}

const KOCrashReportThreadInfo* crashedThread(const KOCrashReport& report) {
    const auto& threads = report.threads();
    EXPECT_EQ(std::count_if(threads.begin(), threads.end(),
                            [](const auto& thread) { return thread.crashed(); }),
              1);
    auto found = std::find_if(threads.begin(), threads.end(),
                              [](const auto& thread) { return thread.crashed(); });
    return found != threads.end() ? &*found : nullptr;
}

[[maybe_unused]] std::vector<std::string> frameNames(const KOCrashReportThreadInfo& thread) {
    std::vector<std::string> names;
    for (const auto& frame : thread.stackFrames()) {
        names.push_back(frame.symbolInfo() ? frame.symbolInfo()->symbolName() : "");
    }
    return names;
}

extern "C" [[gnu::noinline]] void crash_in_the_plugin(testplugin::CrashAt* crashAt) {
    crashAt(kFaultAddress);
    asm volatile("" ::: "memory");
}

TEST(PluginOpenedAfterEnable, ACrashInsideItIsReportedWithItsImageAndItsFrames) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        testplugin::OpenedPlugin plugin;
        crash_in_the_plugin(plugin.function<testplugin::CrashAt>("test_plugin_crash_at"));
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);

    const KOCrashReportBinaryImageInfo* plugin = imageNamed(*report, testplugin::kPath);
    ASSERT_NE(plugin, nullptr) << "the plugin is listed";
    EXPECT_EQ(plugin->imageUUID(), testplugin::kUuidHex);
    EXPECT_NE(imageNamed(*report, testplugin::kHelperPath), nullptr)
        << "the library the plugin needs is listed";

    const KOCrashReportThreadInfo* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
#if defined(__aarch64__)
    const std::vector<std::string> names = frameNames(*crashed);
    ASSERT_GE(names.size(), 5u);
    EXPECT_TRUE(plugin->containsAddress(crashed->stackFrames()[0].instructionPointer()));
    EXPECT_EQ(names[0], "_test_plugin_store_to");
    // Without frame records, only the plugin's call-frame information finds these two.
    EXPECT_EQ(names[1], "_test_plugin_pass_on");
    EXPECT_EQ(names[2], "_test_plugin_crash_at");
    EXPECT_EQ(names[3], "_crash_in_the_plugin");
    EXPECT_NE(std::find(names.begin(), names.end(), "_main"), names.end())
        << "the walk reaches main";
#endif
}

TEST(PluginOpenedAfterEnable, OnceClosedItIsNoLongerListed) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        {
            testplugin::OpenedPlugin plugin;
            _dyld_image_count();
        }
        kocrash_test_store_to(kFaultAddress);
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->images().empty());
    EXPECT_EQ(imageNamed(*report, testplugin::kPath), nullptr);
    EXPECT_EQ(imageNamed(*report, testplugin::kHelperPath), nullptr);
}

constexpr int kOpeningsBeforeTheCrash = 20;

TEST(PluginOpenedAfterEnable, ACrashWhileAnotherThreadOpensAndClosesLibrariesLeavesOneReport) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        std::atomic<int> openings{0};
        std::thread opener([&] {
            for (;;) {
                testplugin::OpenedPlugin plugin;
                openings.fetch_add(1);
            }
        });
        while (openings.load() < kOpeningsBeforeTheCrash) {
            std::this_thread::yield();
        }
        kocrash_test_store_to(kFaultAddress);
        opener.join();
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().address(), kFaultAddress);
    EXPECT_NE(crashedThread(*report), nullptr);
    EXPECT_FALSE(report->images().empty());
}

TEST(PluginOpenedAfterEnable, ItsRemovalWaitsUntilAReportBeingWrittenLeavesTheImages) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        {
            testplugin::OpenedPlugin plugin;
            _dyld_image_count();
        }
        // As the crash log writer marks the list while it reads the images.
        kocrash_async_image_list_set_reading(&shared_image_list, true);
        std::atomic<bool> followed{false};
        std::thread follower([&] {
            _dyld_image_count();
            followed.store(true);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const bool waited = !followed.load();
        kocrash_async_image_list_set_reading(&shared_image_list, false);
        follower.join();
        _exit(waited ? 0 : 3);
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, 0) << "the removal did not wait for the reader";
}

// The paths of the objects the loader holds, as a report names them.
std::vector<std::string> loadedObjectPaths() {
    std::vector<std::string> paths;
    dl_iterate_phdr(
        [](dl_phdr_info* object, std::size_t, void* found) {
            if (object->dlpi_name != nullptr && object->dlpi_name[0] == '/') {
                static_cast<std::vector<std::string>*>(found)->push_back(object->dlpi_name);
            }
            return 0;
        },
        &paths);
    return paths;
}

// The reporter announces the loaded objects on a thread of its own, in a process started anew
// (a forked child announces them itself); a report written before it is done still lists every
// object the loader holds, each once, and the plugin opened meanwhile.
TEST(ImagesNotYetAnnounced, AReportListsEveryObjectTheLoaderHoldsOnce) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    // Holds the registry, so the announcing thread waits for good.
    std::promise<void> visiting;
    std::thread([&visiting] {
        bool first = true;
        platform::dyld::forEachImage([&](const platform::dyld::ImageEntry&) {
            if (std::exchange(first, false)) {
                visiting.set_value();
                pause();
            }
        });
    }).detach();
    visiting.get_future().wait();
    ReportFolder folder;
    KOCrashReporter reporter = folder.reporter();
    testplugin::OpenedPlugin plugin;
    ASSERT_FALSE(shared_image_list.loader_announced.load());
    const auto data = reporter.generateLiveReport();
    ASSERT_TRUE(data);
    const auto report = KOCrashReport::initWithData(*data, nullptr);
    ASSERT_TRUE(report);
    std::vector<std::string> expected = loadedObjectPaths();
    ASSERT_NE(std::find(expected.begin(), expected.end(), testplugin::kPath), expected.end());
    for (const std::string& path : expected) {
        const auto& images = report->images();
        EXPECT_EQ(std::count_if(images.begin(), images.end(),
                                [&](const auto& image) { return image.imageName() == path; }),
                  1)
            << path;
    }
}

} // namespace
