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

// The library stays mapped through dlclose, and a cycle leaves nothing behind.
TEST_F(Guest, APluginThatBringsTheClientIsOpenedAndClosedTwentyTimes) {
    const ProgramRun host = run(std::string(GUEST_PLUGIN_HOST) + " " + GUEST_PLUGIN + " 30");
    EXPECT_EQ(host.exitCode, 0) << host.output;
}

} // namespace
