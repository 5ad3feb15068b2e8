// A process with more loaded objects than a usual one, in forked children: the libraries are
// copies of one small library under many names (manylibraries/). A crash inside the last one
// opened lists it once and, where stacks are walked, names its function, whether the image
// registry followed the libraries before the crash or the crash finds them in the loader's link
// map.
#include "ReporterTestSupport.h"
#include "platform/dyld/DyldImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

using namespace reportertest;

namespace {

std::string libraryPath(int number) {
    return std::string(KOCRASH_MANY_LIBRARIES) + "/libmany" + std::to_string(number) + ".so";
}

using Crash = void (*)();

Crash openLibraries(int count) {
    void* last = nullptr;
    for (int number = 1; number <= count; ++number) {
        last = dlopen(libraryPath(number).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (last == nullptr) {
            _exit(3);
        }
    }
    return reinterpret_cast<Crash>(dlsym(last, "kocrash_many_crash"));
}

struct Loaded {
    const char* name;
    int libraries;
    // The registry is used after the libraries were opened, so it follows them.
    bool followedBeforeTheCrash;
};

const Loaded kLoaded[] = {
    {"600_followed_by_the_registry", 600, true},
    {"1100_opened_since_the_registry_was_used", KOCRASH_MANY_LIBRARY_COUNT, false},
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
                const Crash crash = openLibraries(loaded.libraries);
                if (loaded.followedBeforeTheCrash &&
                    !platform::dyld::describeAddress(reinterpret_cast<const void*>(crash))) {
                    _exit(4);
                }
                crash();
            });
            ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
            const auto report = folder.loadPendingReport();
            ASSERT_TRUE(report);
            const std::string last = libraryPath(loaded.libraries);
            const auto& images = report->images();
            EXPECT_EQ(std::count_if(images.begin(), images.end(),
                                    [&](const auto& image) { return image.imageName() == last; }),
                      1);
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
