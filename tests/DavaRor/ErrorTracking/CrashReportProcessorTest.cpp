// Crash reports encoded in the crash log format, decoded, and turned into "$exception"
// properties: which stack and which exception text win, frame order, debug images.
#include "DavaRor/ErrorTracking/DavaRorCrashReportProcessor.h"

#include "CrashReportMessages.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

constexpr std::uint64_t cpuTypeARM64 = 0x100000C;

Kocrash__CrashReport__Thread* thread(CrashReportMessages& messages, std::uint32_t number,
                                     bool crashed, std::vector<std::uint64_t> pcs) {
    auto* info = messages.make(kocrash__crash_report__thread__init);
    info->thread_number = number;
    info->crashed = crashed;
    std::vector<Kocrash__CrashReport__Thread__StackFrame*> frames;
    for (auto pc : pcs) {
        frames.push_back(messages.frame(pc));
    }
    info->n_frames = frames.size();
    info->frames = messages.list(frames);
    return info;
}

void setThreads(CrashReportMessages& messages, Kocrash__CrashReport* report,
                const std::vector<Kocrash__CrashReport__Thread*>& threads) {
    report->n_threads = threads.size();
    report->threads = messages.list(threads);
}

void setImages(CrashReportMessages& messages, Kocrash__CrashReport* report,
               const std::vector<Kocrash__CrashReport__BinaryImage*>& images) {
    report->n_binary_images = images.size();
    report->binary_images = messages.list(images);
}

Kocrash__CrashReport__BinaryImage* armImage(CrashReportMessages& messages, std::uint64_t base,
                                            const std::string& path, std::uint64_t type,
                                            std::uint64_t subtype) {
    auto* image = messages.image(base, 0x1000, path);
    image->code_type = messages.processor(type, subtype);
    return image;
}

// A SIGSEGV on thread 1 of two, three frames deep in two of three images, no symbols (the
// reporter writes none).
Kocrash__CrashReport* segvReport(CrashReportMessages& messages) {
    auto* report = minimalReport(messages);
    report->signal->name = messages.text("SIGSEGV");
    report->signal->code = messages.text("SEGV_MAPERR");
    report->signal->address = 0x10;
    setThreads(messages, report,
               {thread(messages, 0, false, {0x7000010}),
                thread(messages, 1, true, {0x1000040, 0x1000080, 0x7000020})});
    auto* app = armImage(messages, 0x1000000, "/opt/notes/bin/Notes", cpuTypeARM64, 0);
    app->has_uuid = 1;
    app->uuid = messages.bytes({0x8a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71, 0x82, 0x93, 0xa4,
                                0xb5, 0xc6, 0xd7, 0xe8, 0xf9});
    setImages(messages, report,
              {messages.image(0x5000000, 0x1000, "/usr/lib/unused.so"), app,
               armImage(messages, 0x7000000, "/usr/lib/libsystem_c.dylib", cpuTypeARM64, 0)});
    return report;
}

std::vector<std::string> frameAddresses(const json& entry) {
    std::vector<std::string> addresses;
    for (const auto& frame : entry["stacktrace"]["frames"]) {
        addresses.push_back(frame["instruction_addr"]);
    }
    return addresses;
}

class CrashReportProcessor : public ::testing::Test {
protected:
    CrashReportProcessor() { config.setInAppIncludes({"Notes"}); }

    json process(const Kocrash__CrashReport* message) {
        return DavaRorCrashReportProcessor::processReport(decodeValid(message), config);
    }

    CrashReportMessages messages;
    DavaRorErrorTrackingConfig config;
};

TEST_F(CrashReportProcessor, ASignalBecomesAFatalEntryWithTheCrashedThreadsFramesInnermostLast) {
    const json properties = process(segvReport(messages));

    EXPECT_EQ(properties["$exception_level"], "fatal");
    ASSERT_EQ(properties["$exception_list"].size(), 1u);
    const json& entry = properties["$exception_list"][0];
    EXPECT_EQ(entry["type"], "SIGSEGV");
    EXPECT_EQ(entry["value"], "SIGSEGV (code SEGV_MAPERR) at address 0x0000000000000010");
    EXPECT_EQ(entry["mechanism"],
              json::parse(R"({"type": "signal", "handled": false, "synthetic": false,
                  "meta": {"signal": {"code": "SEGV_MAPERR", "name": "SIGSEGV"}}})"));
    EXPECT_EQ(entry["thread_id"], 1);
    EXPECT_FALSE(entry.contains("module"));
    EXPECT_EQ(frameAddresses(entry),
              (std::vector<std::string>{"0x0000000007000020", "0x0000000001000080",
                                        "0x0000000001000040"}));
    EXPECT_EQ(entry["stacktrace"]["type"], "raw");
    // No symbols in the report: the images alone name the frames.
    EXPECT_EQ(entry["stacktrace"]["frames"][2],
              json::parse(R"({"instruction_addr": "0x0000000001000040", "platform": "apple",
                  "in_app": true, "module": "Notes", "package": "Notes",
                  "image_addr": "0x0000000001000000"})"));
    EXPECT_EQ(entry["stacktrace"]["frames"][0]["module"], "libsystem_c.dylib");
    EXPECT_EQ(entry["stacktrace"]["frames"][0]["in_app"], false);

    EXPECT_EQ(properties["$debug_images"], json::parse(R"([
                  {"type": "macho", "code_file": "/opt/notes/bin/Notes",
                   "image_addr": "0x0000000001000000", "image_size": 4096, "arch": "arm64",
                   "debug_id": "8A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"},
                  {"type": "macho", "code_file": "/usr/lib/libsystem_c.dylib",
                   "image_addr": "0x0000000007000000", "image_size": 4096, "arch": "arm64"}])"));
}

TEST_F(CrashReportProcessor, WhereTheFramesComeFromAndWhichThreadIsNamed) {
    struct Case {
        const char* name;
        Kocrash__CrashReport* (*report)(CrashReportMessages&);
        const char* type;
        std::vector<std::string> frames;
        std::int64_t threadId;
    };
    const Case cases[] = {
        {"an uncaught exception wins over the signal and brings its own stack",
         [](CrashReportMessages& m) {
             auto* report = segvReport(m);
             report->exception = m.make(kocrash__crash_report__exception__init);
             report->exception->name = m.text("std::runtime_error");
             report->exception->reason = m.text("disk full");
             const std::vector<Kocrash__CrashReport__Thread__StackFrame*> frames = {
                 m.frame(0x1000100), m.frame(0x1000200)};
             report->exception->n_frames = frames.size();
             report->exception->frames = m.list(frames);
             return report;
         },
         "std::runtime_error",
         {"0x0000000001000200", "0x0000000001000100"},
         1},
        {"an uncaught exception without a stack takes the crashed thread's",
         [](CrashReportMessages& m) {
             auto* report = segvReport(m);
             report->exception = m.make(kocrash__crash_report__exception__init);
             report->exception->name = m.text("std::bad_alloc");
             report->exception->reason = m.text("");
             return report;
         },
         "std::bad_alloc",
         {"0x0000000007000020", "0x0000000001000080", "0x0000000001000040"},
         1},
        {"with no thread marked crashed the first thread stands in",
         [](CrashReportMessages& m) {
             auto* report = segvReport(m);
             report->threads[1]->crashed = 0;
             return report;
         },
         "SIGSEGV",
         {"0x0000000007000010"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const json entry = process(c.report(messages))["$exception_list"][0];
        EXPECT_EQ(entry["type"], c.type);
        EXPECT_EQ(frameAddresses(entry), c.frames);
        EXPECT_EQ(entry["thread_id"], c.threadId);
        if (entry["type"] != "SIGSEGV") {
            EXPECT_EQ(entry["mechanism"], json::parse(R"({"type": "nsexception", "handled": false,
                          "synthetic": false})"));
        }
    }
}

TEST_F(CrashReportProcessor, DebugImagesNameTheirArchitecture) {
    auto* report = minimalReport(messages);
    const std::pair<std::uint64_t, std::uint64_t> codeTypes[] = {
        {12, 9}, {12, 11}, {12, 6}, {0x1000007, 3}, {cpuTypeARM64, 2}, {18, 0}};
    std::vector<Kocrash__CrashReport__BinaryImage*> images;
    std::vector<std::uint64_t> pcs;
    for (std::size_t i = 0; i < std::size(codeTypes); ++i) {
        const std::uint64_t base = 0x1000000 * (i + 1);
        images.push_back(armImage(messages, base, "/lib/" + std::to_string(i), codeTypes[i].first,
                                  codeTypes[i].second));
        pcs.push_back(base + 8);
    }
    images.push_back(messages.image(0x9000000, 0x1000, "/lib/no-code-type"));
    pcs.push_back(0x9000008);
    setImages(messages, report, images);
    setThreads(messages, report, {thread(messages, 0, true, pcs)});

    const json debugImages = process(report)["$debug_images"];
    std::vector<json> arches;
    for (const auto& image : debugImages) {
        arches.push_back(image.value("arch", json()));
    }
    EXPECT_EQ(arches,
              (std::vector<json>{"armv7", "armv7s", "arm", "x86_64", "arm64", nullptr, nullptr}));
}

TEST_F(CrashReportProcessor, AnAuthenticatedAddressLosesItsSignatureWhereThePlatformSignsThem) {
    auto* report = minimalReport(messages);
    setImages(messages, report, {messages.image(0x100000000, 0x8000, "/opt/notes/bin/Notes")});
    setThreads(messages, report, {thread(messages, 0, true, {0x8000000100003F00})});

    const json frame = process(report)["$exception_list"][0]["stacktrace"]["frames"][0];
#if defined(__aarch64__)
    EXPECT_EQ(frame["instruction_addr"], "0x0000000100003f00");
    EXPECT_EQ(frame["module"], "Notes") << "the image is found from the stripped address";
#else
    EXPECT_EQ(frame["instruction_addr"], "0x8000000100003f00");
    EXPECT_FALSE(frame.contains("module"));
#endif
}

// A call that never returns ends the first image, so its return address is the second image's
// first byte: only the crashed thread's first frame is where a thread stood.
TEST_F(CrashReportProcessor, AReturnAddressBelongsToTheImageThatMadeTheCall) {
    constexpr std::uint64_t boundary = 0x1001000;
    auto* report = minimalReport(messages);
    setImages(messages, report,
              {messages.image(0x1000000, 0x1000, "/opt/notes/bin/Notes"),
               messages.image(boundary, 0x1000, "/usr/lib/libnext.so")});
    setThreads(messages, report, {thread(messages, 0, true, {boundary, boundary})});

    json frames = process(report)["$exception_list"][0]["stacktrace"]["frames"];
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1]["module"], "libnext.so");
    EXPECT_EQ(frames[0]["module"], "Notes");
    EXPECT_EQ(frames[0]["instruction_addr"], "0x0000000001001000");

    report->exception = messages.make(kocrash__crash_report__exception__init);
    report->exception->name = messages.text("std::runtime_error");
    report->exception->reason = messages.text("disk full");
    const std::vector<Kocrash__CrashReport__Thread__StackFrame*> returns = {
        messages.frame(boundary)};
    report->exception->n_frames = returns.size();
    report->exception->frames = messages.list(returns);
    frames = process(report)["$exception_list"][0]["stacktrace"]["frames"];
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["module"], "Notes") << "an exception's stack holds return addresses only";
}

TEST_F(CrashReportProcessor, TheCrashTimeIsTheReportsUnlessItHoldsNone) {
    auto* report = minimalReport(messages);
    report->system_info->timestamp = 1700000000;
    EXPECT_EQ(DavaRorCrashReportProcessor::getCrashTimestamp(decodeValid(report)),
              DavaRorDate{std::chrono::seconds{1700000000}});
    for (std::int64_t unknown : {std::int64_t{0}, std::numeric_limits<std::int64_t>::max()}) {
        report->system_info->timestamp = unknown;
        EXPECT_EQ(DavaRorCrashReportProcessor::getCrashTimestamp(decodeValid(report)),
                  std::nullopt);
    }
}

// A forked child's crash is sent as the child's, never as the run that enabled the reporter.
TEST_F(CrashReportProcessor, AForkedChildsCrashSaysWhoseItIs) {
    auto* report = segvReport(messages);
    auto* child = messages.make(kocrash__crash_report__process_info__init);
    child->process_name = messages.text("Notes");
    child->process_id = 4243;
    child->parent_process_id = 4242;
    report->process_info = child;
    EXPECT_FALSE(process(report).contains("$exception_forked_child"));
    child->has_forked_child = 1;
    child->forked_child = 1;
    const json properties = process(report);
    EXPECT_EQ(properties["$exception_level"], "fatal");
    EXPECT_EQ(properties["$exception_forked_child"], true);
    EXPECT_EQ(properties["$exception_process_id"], 4243);
    EXPECT_EQ(properties["$exception_parent_process_id"], 4242);
}

// A process out of memory may list no thread: the crash is still sent with what it holds.
TEST_F(CrashReportProcessor, AReportWithoutThreadsIsSentWithItsSignal) {
    auto* report = segvReport(messages);
    report->n_threads = 0;
    const json properties = process(report);
    EXPECT_EQ(properties["$exception_level"], "fatal");
    ASSERT_EQ(properties["$exception_list"].size(), 1u);
    const json& entry = properties["$exception_list"][0];
    EXPECT_EQ(entry["type"], "SIGSEGV");
    EXPECT_FALSE(entry.contains("thread_id"));
    EXPECT_FALSE(entry.contains("stacktrace"));
}

} // namespace
