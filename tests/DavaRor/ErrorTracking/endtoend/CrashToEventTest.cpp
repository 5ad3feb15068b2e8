// A crash comes back as one "$exception" event: an application crashes for real, its next
// start sends the event to a loopback ingestion server, and a third start sends nothing new.
// Frames and debug images exist only in the arm64 build (under the emulator); the host build
// checks the rest.
#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"
#include "reporter/KOCrashReporterFiles.h"

#include "ElfFile.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sys/wait.h>

using nlohmann::json;

namespace {

constexpr const char* kIdentifier = "com.example.davaror-crash";

struct ApplicationRun {
    int status;
    std::string output;
};

ApplicationRun runApplication(const std::string& host, const std::string& mode,
                              const std::string& version) {
    const std::string command = std::string(DAVAROR_TEST_EMULATOR) + " " + CRASHING_APPLICATION +
                                " " + host + " " + mode + " " + version + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ApplicationRun run{-1, {}};
    std::array<char, 4096> buffer;
    while (std::size_t read = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        run.output.append(buffer.data(), read);
    }
    run.status = pclose(pipe);
    return run;
}

std::string printed(const ApplicationRun& run, const std::string& label) {
    std::smatch match;
    const std::regex line(label + " (\\S+)");
    EXPECT_TRUE(std::regex_search(run.output, match, line)) << run.output;
    return match.size() > 1 ? match[1].str() : std::string();
}

std::vector<json> exceptionEvents(const testsupport::LoopbackHttpServer& server) {
    std::vector<json> events;
    for (const auto& request : server.requests()) {
        if (request.path() != "/batch") {
            continue;
        }
        const json body = json::parse(gunzip(request.body));
        for (const auto& event : body["batch"]) {
            if (event["event"] == "$exception") {
                events.push_back(event);
            }
        }
    }
    return events;
}

#if defined(__aarch64__)
// The image UUID the loader gives the application: the first 16 bytes of its GNU build-id.
std::string buildIdUUID(const ElfFile& elf) {
    const auto note = elf.section(".note.gnu.build-id");
    EXPECT_TRUE(note.has_value());
    constexpr std::size_t noteHeader = 16; // sizes, type and "GNU\0"
    return uuidText(std::span<const std::uint8_t, 16>(elf.bytesAt(note->offset + noteHeader), 16));
}
#endif

struct CrashKind {
    const char* mode;
    const char* type;
    const char* valuePrefix;
    const char* mechanism;
};

class CrashToEvent : public ::testing::TestWithParam<CrashKind> {
protected:
    void SetUp() override { testsupport::useHome(home.path()); }

    std::filesystem::path pendingReport() const {
        return kocrash_reporter_directory(kocrash_reporter_base_folder(std::nullopt), kIdentifier) /
               "live_report.kocrash";
    }

    testsupport::TemporaryDirectory home;
    testsupport::LoopbackHttpServer server;
};

TEST_P(CrashToEvent, TheNextStartSendsExactlyOneFatalEventWithTheContextOfTheCrash) {
    const CrashKind kind = GetParam();
    const ApplicationRun crash = runApplication(server.baseUrl(), kind.mode, "at-crash");
    ASSERT_TRUE(std::filesystem::exists(pendingReport())) << crash.output;
    const std::string distinctId = printed(crash, "distinct id");
    const std::uint64_t function = std::stoull(printed(crash, "crashing function"), nullptr, 16);

    const ApplicationRun next = runApplication(server.baseUrl(), "run", "next-run");
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_FALSE(std::filesystem::exists(pendingReport()));
    server.waitForRequests(1);
    auto events = exceptionEvents(server);
    ASSERT_EQ(events.size(), 1u) << next.output;
    const json& event = events[0];
    const json& properties = event["properties"];
    EXPECT_EQ(event["distinct_id"], distinctId);
    EXPECT_EQ(properties["$lib_version"], "at-crash") << "the context in force at the crash";
    EXPECT_EQ(properties["$exception_level"], "fatal");
    ASSERT_EQ(properties["$exception_list"].size(), 1u);
    const json& entry = properties["$exception_list"][0];
    EXPECT_EQ(entry["type"], kind.type);
    EXPECT_EQ(entry["value"].get<std::string>().rfind(kind.valuePrefix, 0), 0u) << entry["value"];
    EXPECT_EQ(entry["mechanism"]["type"], kind.mechanism);

#if defined(__aarch64__)
    const ElfFile application(CRASHING_APPLICATION);
    const std::string module = std::filesystem::path(CRASHING_APPLICATION).filename();
    const json& frames = entry["stacktrace"]["frames"];
    ASSERT_FALSE(frames.empty());
    std::optional<json> crashingFrame;
    for (const auto& frame : frames) {
        EXPECT_FALSE(frame.contains("function")) << "the reporter writes no symbols";
        if (frame.value("module", "") == module && !crashingFrame) {
            crashingFrame = frame;
        }
    }
    ASSERT_TRUE(crashingFrame.has_value()) << "a frame in the application's own image";
    if (std::string_view(kind.mode).ends_with("segv")) {
        const json& innermost = frames.back();
        const auto address =
            std::stoull(innermost["instruction_addr"].get<std::string>(), nullptr, 16);
        std::uint64_t size = 0;
        for (const auto& symbol : application.symbols()) {
            if (symbol.name == "davaror_store_through") {
                size = symbol.size;
            }
        }
        EXPECT_TRUE(address >= function && address < function + size)
            << "innermost last, in davaror_store_through";
        EXPECT_EQ(innermost["module"], module);
    }
    bool listed = false;
    for (const auto& image : properties["$debug_images"]) {
        if (image["image_addr"] == (*crashingFrame)["image_addr"]) {
            listed = true;
            EXPECT_EQ(std::filesystem::path(image["code_file"].get<std::string>()).filename(),
                      module);
            EXPECT_EQ(image["debug_id"], buildIdUUID(application));
            EXPECT_EQ(image["arch"], "arm64");
        }
    }
    EXPECT_TRUE(listed);
#else
    (void)function;
#endif

    const ApplicationRun third = runApplication(server.baseUrl(), "run", "third");
    EXPECT_EQ(third.status, 0) << third.output;
    EXPECT_EQ(exceptionEvents(server).size(), 1u) << "nothing new";
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, CrashToEvent,
    ::testing::Values(CrashKind{"segv", "SIGSEGV",
                                "SIGSEGV (code SEGV_MAPERR) at address 0x0000000000000010",
                                "signal"},
                      CrashKind{"throw", "std::runtime_error", "disk full", "nsexception"}),
    [](const auto& info) { return std::string(info.param.mode); });

// The emulator ignores RLIMIT_AS, and the sanitizers need more address space than is left.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
INSTANTIATE_TEST_SUITE_P(
    OutOfMemory, CrashToEvent,
    ::testing::Values(CrashKind{"oom-segv", "SIGSEGV",
                                "SIGSEGV (code SEGV_MAPERR) at address 0x0000000000000010",
                                "signal"},
                      CrashKind{"oom-throw", "std::bad_alloc", "std::bad_alloc", "nsexception"}),
    [](const auto& info) {
        std::string name = info.param.mode;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });
#endif

} // namespace
