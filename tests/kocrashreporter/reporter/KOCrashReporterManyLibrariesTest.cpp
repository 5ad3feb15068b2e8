// A process with more loaded objects than a usual one, in forked children: the libraries are
// copies of one small library under many names (manylibraries/). A crash inside the last one
// opened lists every object once and, where stacks are walked, names its function, whether the
// image registry followed the libraries before the crash or the crash finds them in the loader's
// link map.
#include "ReporterTestSupport.h"
#include "platform/dyld/DyldImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>

using namespace reportertest;

namespace {

std::string libraryPath(int number) {
    return std::string(KOCRASH_MANY_LIBRARIES) + "/libmany" + std::to_string(number) + ".so";
}

using Crash = void (*)();

Crash crashIn(void* library) {
    return reinterpret_cast<Crash>(dlsym(library, "kocrash_many_crash"));
}

// The crashing function of the first library opened and of the last.
std::pair<Crash, Crash> openLibraries(int count) {
    void* first = nullptr;
    void* last = nullptr;
    for (int number = 1; number <= count; ++number) {
        last = dlopen(libraryPath(number).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (last == nullptr) {
            _exit(3);
        }
        first = first != nullptr ? first : last;
    }
    return {crashIn(first), crashIn(last)};
}

struct Loaded {
    const char* name;
    int libraries;
    // The registry is used after the libraries were opened, so it follows them.
    bool followedBeforeTheCrash;
};

const Loaded kLoaded[] = {
    {"600_followed_by_the_registry", 600, true},
    {"1100_opened_since_the_registry_was_used", 1100, false},
    // More than the registry's table for the crash path holds: the rest are found in the
    // loader's list at the crash.
    {"5000_followed_by_the_registry", KOCRASH_MANY_LIBRARY_COUNT, true},
};

TEST(ManyLibraries, ACrashInsideTheLastOneOpenedListsAndNamesIt) {
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        for (const Loaded& loaded : kLoaded) {
            SCOPED_TRACE(std::string(loaded.name) + (mode == KOCrashReporterSignalHandlerTypeMach
                                                         ? " in Mach mode"
                                                         : " in signal mode"));
            ReportFolder folder;
            const ChildEnd end = runChild([&] {
                if (!folder.reporter(folder.config(mode)).enableCrashReporter()) {
                    _exit(2);
                }
                const auto [first, last] = openLibraries(loaded.libraries);
                if (loaded.followedBeforeTheCrash &&
                    !platform::dyld::describeAddress(reinterpret_cast<const void*>(first))) {
                    _exit(4);
                }
                last();
            });
            ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
            const auto report = folder.loadPendingReport();
            ASSERT_TRUE(report);
            const std::string last = libraryPath(loaded.libraries);
            const auto& images = report->images();
            std::map<std::string, int> listings;
            for (const auto& image : images) {
                ++listings[image.imageName()];
            }
            for (int number = 1; number <= loaded.libraries; ++number) {
                ASSERT_EQ(listings[libraryPath(number)], 1) << libraryPath(number);
            }
            for (const auto& [name, count] : listings) {
                EXPECT_EQ(count, 1) << name;
            }
            EXPECT_EQ(listings[last], 1);
            EXPECT_GT(images.size(), static_cast<std::size_t>(loaded.libraries));
#if defined(__aarch64__)
            const auto& threads = report->threads();
            const auto crashed = std::find_if(threads.begin(), threads.end(),
                                              [](const auto& thread) { return thread.crashed(); });
            ASSERT_NE(crashed, threads.end());
            ASSERT_FALSE(crashed->stackFrames().empty());
            const auto& innermost = crashed->stackFrames().front();
            ASSERT_TRUE(innermost.symbolInfo());
            EXPECT_NE(innermost.symbolInfo()->symbolName().find("kocrash_many_crash"),
                      std::string::npos)
                << innermost.symbolInfo()->symbolName();
            const auto image = report->imageForAddress(innermost.instructionPointer());
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->imageName(), last);
#endif
        }
    }
}

} // namespace
