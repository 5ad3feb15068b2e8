// A crash inside an image that names its methods only in legacy object metadata (a 32-bit
// image with an __OBJC segment and no symbols): the report names the crashed frame as the
// method, "-[Class method]" or "+[Class method]". The child jumps into the image's pages, which
// are not executable, so the fault's pc is the method's first byte. Frames exist only in the
// arm64 build; the host build checks the crash and the image.
#include "LegacyObjcImage.h"
#include "ReporterTestSupport.h"
#include "platform/dyld/DyldImages.h"
#include "support/ImagesAnnounced.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace reportertest;

namespace {

constexpr const char* kImagePath = "/Library/Legacy/Widgets.dylib";
constexpr std::uint32_t kSingleList = 0x4000;
constexpr std::uint32_t kMetaclassInfo = 0x2;

struct CrashedMethod {
    const char* name;
    std::uint32_t offset;
    const char* symbol;
};

// Widget: -draw at 0x100, +shared at 0x180.
[[noreturn]] void crashInLegacyImage(std::uint32_t offset) {
    LegacyImagePages pages;
    const std::uint64_t base = pages.address();
    LegacyObjcSegment objc(base, false);
    const std::uint32_t meta =
        objc.classRecord(0, "Widget", kMetaclassInfo | kSingleList,
                         objc.methodList({{"shared", static_cast<std::uint32_t>(base + 0x180)}}));
    const std::uint32_t widget =
        objc.classRecord(meta, "Widget", kSingleList,
                         objc.methodList({{"draw", static_cast<std::uint32_t>(base + 0x100)}}));
    objc.module(objc.symtab({widget}));
    SyntheticImageSpec spec;
    spec.is64Bit = false;
    spec.cpuType = CPU_TYPE_ARM;
    spec.withSymtab = false;
    objc.addTo(spec);
    SyntheticImage image(spec);
    pages.place(image);
    platform::dyld::addImage(reinterpret_cast<const mach_header*>(base),
                             static_cast<std::intptr_t>(base), kImagePath);
    reinterpret_cast<void (*)()>(base + offset)();
    _exit(3);
}

class LegacyMetadataCrash : public testing::TestWithParam<CrashedMethod> {};

TEST_P(LegacyMetadataCrash, NamesTheCrashedFrameByItsMethod) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter(folder.config(
            KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSymbolicationStrategyObjC));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        // An image mapped by hand is not in the loader's link map: a report lists it once the
        // reporter's callbacks follow the registry.
        testsupport::waitUntilImagesAnnounced();
        crashInLegacyImage(GetParam().offset);
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;

    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    bool listed = false;
    for (const auto& image : report->images()) {
        listed = listed || image.imageName() == kImagePath;
    }
    EXPECT_TRUE(listed);
#if defined(__aarch64__)
    const KOCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report->threads()) {
        crashed = thread.crashed() ? &thread : crashed;
    }
    ASSERT_NE(crashed, nullptr);
    ASSERT_FALSE(crashed->stackFrames().empty());
    const auto& frame = crashed->stackFrames().front();
    ASSERT_TRUE(frame.symbolInfo())
        << "innermost frame at 0x" << std::hex << frame.instructionPointer();
    EXPECT_EQ(frame.symbolInfo()->symbolName(), GetParam().symbol);
    EXPECT_EQ(frame.symbolInfo()->startAddress(), frame.instructionPointer());
#endif
}

INSTANTIATE_TEST_SUITE_P(Methods, LegacyMetadataCrash,
                         testing::Values(CrashedMethod{"instance", 0x100, "-[Widget draw]"},
                                         CrashedMethod{"class", 0x180, "+[Widget shared]"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
