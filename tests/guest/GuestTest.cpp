// The client as a guest in an application's process, measured from outside: programs that link
// or open DavaRor.so run (through the emulator in a cross build), each under a time limit, and
// their exit status and what they print are checked; the crash example's next start tells
// whether anything left a crash report behind.
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string_view>
#include <sys/wait.h>

namespace {

struct ProgramRun {
    int exitCode;
    std::string output;
};

// A hang is ended after the limit and fails the run.
ProgramRun run(const std::string& arguments) {
    const std::string command =
        std::string("timeout -s KILL 240 ") + DAVAROR_TEST_EMULATOR + " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    ProgramRun result{-1, {}};
    std::array<char, 4096> buffer;
    while (std::size_t read = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
        result.output.append(buffer.data(), read);
    }
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.starts_with(prefix)) {
            lines.push_back(line);
        }
    }
    return lines;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class Guest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            setenv(variable, (home.path() / variable).c_str(), 1);
        }
    }

    testsupport::TemporaryDirectory home;
};

class ForkedChildren : public Guest,
                       public testing::WithParamInterface<std::tuple<const char*, const char*>> {};

// Children forked while the parent's threads are inside the client's calls set the client up
// for themselves and exit 0, and the next start finds no crash to send. The emulator's fork
// cannot be trusted while another thread starts one, so the parent sets the client up again and
// again only on the host.
TEST_P(ForkedChildren, SetUpTheirOwnClientExitCleanlyAndLeaveNoCrashBehind) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator may be left locked in a child by a thread of the "
                    "parent, and the C library's cleanups at exit then wait on it for good";
#endif
    const auto [client, capture] = GetParam();
    const ProgramRun forks =
        run(std::string(GUEST_APPLICATION) + " forks " + client + " " + capture +
            (std::string_view(DAVAROR_TEST_EMULATOR).empty() ? " resetting" : ""));
    EXPECT_EQ(forks.exitCode, 0) << forks.output;
    EXPECT_EQ(linesStartingWith(forks.output, "clean "), std::vector<std::string>{"clean 200"})
        << forks.output;

    testsupport::LoopbackHttpServer server;
    const ProgramRun next =
        run(std::string(CRASHING_APPLICATION) + " " + server.baseUrl() + " run");
    EXPECT_EQ(next.exitCode, 0) << next.output;
    int exceptions = 0;
    int events = 0;
    for (const auto& request : server.requests()) {
        const auto body = nlohmann::json::parse(gunzip(request.body));
        for (const auto& event : body["batch"]) {
            ++events;
            exceptions += event["event"] == "$exception" ? 1 : 0;
        }
    }
    EXPECT_GT(events, 0) << "the next start delivered what it had: " << next.output;
    EXPECT_EQ(exceptions, 0) << next.output;
}

INSTANTIATE_TEST_SUITE_P(ClientsAndModes, ForkedChildren,
                         testing::Combine(testing::Values("own", "shared"),
                                          testing::Values("signal", "mach")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param);
                         });

// Loading opens no descriptor, starts no thread and touches no signal before main.
TEST_F(Guest, LinkingTheLibraryChangesNothingBeforeMain) {
    const ProgramRun with = run(std::string(GUEST_AT_START_WITH) + " setup");
    const ProgramRun without = run(GUEST_AT_START_WITHOUT);
    ASSERT_EQ(with.exitCode, 0) << with.output;
    ASSERT_EQ(without.exitCode, 0) << without.output;
    for (const char* fact : {"descriptors ", "threads ", "signal "}) {
        EXPECT_EQ(linesStartingWith(with.output, fact), linesStartingWith(without.output, fact));
    }
}

// An application that blocks SIGTERM and reads it from a signalfd gets it there: no thread of
// the library takes it. Every thread of the library says whose it is.
TEST_F(Guest, TheApplicationsSignalReachesItsSignalfdAndLibraryThreadsAreNamed) {
    const ProgramRun application = run(std::string(GUEST_APPLICATION) + " signalfd");
    EXPECT_EQ(application.exitCode, 0) << application.output;
    const auto threads = linesStartingWith(application.output, "thread ");
    ASSERT_GT(threads.size(), 1u) << application.output;
    for (std::size_t index = 1; index < threads.size(); ++index) {
        EXPECT_TRUE(threads[index].starts_with("thread davaror.") || threads[index] == threads[0])
            << threads[index];
    }
}

int printedNumber(const std::string& output, const std::string& label) {
    const auto lines = linesStartingWith(output, label + " ");
    return lines.size() == 1 ? std::stoi(lines[0].substr(label.size() + 1)) : -1;
}

// Set up as the examples are (reachability and crash capture on), the client holds a handful of
// descriptors, the crash-time reserve included; after close only the reserve stays, and the
// fault-safe read's pipes where the kernel cannot read the own process (the emulator).
TEST_F(Guest, TheApplicationKeepsItsDescriptors) {
    const ProgramRun application = run(std::string(GUEST_APPLICATION) + " descriptors");
    ASSERT_EQ(application.exitCode, 0) << application.output;
    // The fault-safe read's pipes exist only where the kernel cannot read the own process: under
    // the emulator, whose own descriptors count against the limit too.
    const int pipeEnds = printedNumber(application.output, "client pipe ends");
    const int held = printedNumber(application.output, "client descriptors");
    EXPECT_LE(pipeEnds, 4) << application.output;
    EXPECT_LE(held - pipeEnds, 8) << application.output;
    if (pipeEnds == 0) {
        EXPECT_GE(printedNumber(application.output, "opened"), 52) << application.output;
    }
    constexpr int kCrashTimeReserve = 3;
    EXPECT_EQ(printedNumber(application.output, "after close"), kCrashTimeReserve + pipeEnds)
        << application.output;
}

// The library's threads are stopped and walked at a crash, under the emulator as on hardware:
// every thread has frames but the emulator's own, which /proc lists too. Frames exist on 64-bit
// ARM only.
TEST_F(Guest, ACrashWalksEveryThreadOfTheLibrary) {
    const ProgramRun crash = run(std::string(GUEST_APPLICATION) + " crash");
    const int threads = printedNumber(crash.output, "threads");
    ASSERT_GT(threads, 1) << crash.output;
    const ProgramRun frames = run(std::string(GUEST_APPLICATION) + " frames");
    ASSERT_EQ(frames.exitCode, 0) << frames.output;
    EXPECT_EQ(printedNumber(frames.output, "report threads"), threads) << frames.output;
#if defined(__aarch64__)
    const int emulatorThreads = std::string(DAVAROR_TEST_EMULATOR).empty() ? 0 : 1;
    EXPECT_GE(printedNumber(frames.output, "threads with frames"), threads - emulatorThreads)
        << frames.output;
#endif
}

// Threads with stacks sized to their work and no large reservation: the application's address
// space stays its own. The emulator ignores the limit, and sanitizers reserve far more than it.
TEST_F(Guest, TheApplicationAllocatesUnderAnAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory alone passes the limit";
#endif
    if (!std::string(DAVAROR_TEST_EMULATOR).empty()) {
        GTEST_SKIP() << "qemu-user ignores RLIMIT_AS";
    }
    const ProgramRun application = run(std::string(GUEST_APPLICATION) + " memory");
    EXPECT_EQ(application.exitCode, 0) << application.output;
    EXPECT_EQ(linesStartingWith(application.output, "allocated "),
              std::vector<std::string>{"allocated 100 MiB"})
        << application.output;
}

// The park signal is one the application left free: its timers on the low real-time signals
// keep firing after a live report stopped every thread. When the application takes the park
// signal back, a crash parks nothing and ends without waiting on the idle threads.
TEST_F(Guest, TheApplicationsRealTimeSignalsStayItsOwn) {
    const ProgramRun timers = run(std::string(GUEST_APPLICATION) + " timers");
    ASSERT_EQ(timers.exitCode, 0) << timers.output;
    const auto fired = linesStartingWith(timers.output, "fired ");
    ASSERT_EQ(fired.size(), 8u) << timers.output;
    for (const auto& line : fired) {
        EXPECT_FALSE(line.ends_with(" 0")) << line;
    }

    const ProgramRun takeback = run(std::string(GUEST_APPLICATION) + " takeback");
    EXPECT_EQ(takeback.exitCode, 0) << takeback.output;
    // AddressSanitizer's own fault handler ends the process by exit instead.
    EXPECT_EQ(linesStartingWith(takeback.output, "crash ended"),
              std::vector<std::string>{"crash ended by signal " +
                                       std::to_string(kSanitized ? 0 : SIGSEGV)})
        << takeback.output;
}

// The library stays mapped through dlclose, and a cycle leaves nothing behind.
TEST_F(Guest, APluginThatBringsTheClientIsOpenedAndClosedTwentyTimes) {
    const ProgramRun host = run(std::string(GUEST_PLUGIN_HOST) + " " + GUEST_PLUGIN + " 30");
    EXPECT_EQ(host.exitCode, 0) << host.output;
}

} // namespace
