#include "FreshProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr std::string_view kTestVariable = "DAVAROR_FRESH_PROCESS_TEST";

std::string currentTestName() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

// A cross build's test binaries run under an emulator, which must start the new process too.
std::vector<std::string> commandLine(const std::string& test) {
    std::vector<std::string> words;
    std::istringstream emulator(DAVAROR_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
    words.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    words.push_back("--gtest_filter=" + test);
    return words;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    for (std::string& word : words) {
        result.push_back(word.data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

bool testsupport::ranInAFreshProcess(unsigned guardSeconds) {
    const std::string test = currentTestName();
    if (const char* fresh = std::getenv(std::string(kTestVariable).c_str());
        fresh != nullptr && test == fresh) {
        alarm(guardSeconds);
        return false;
    }
    std::vector<std::string> arguments = commandLine(test);
    const std::string assignment = std::string(kTestVariable) + "=";
    std::vector<std::string> environment{assignment + test};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!std::string_view(*variable).starts_with(assignment)) {
            environment.emplace_back(*variable);
        }
    }
    const std::vector<char*> argv = pointers(arguments);
    const std::vector<char*> envp = pointers(environment);
    // What this process printed so far comes before what the new one prints.
    std::fflush(stdout);
    pid_t child = -1;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
        ADD_FAILURE() << "could not start " << arguments.front();
        return true;
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << test << " failed in a process of its own (wait status " << status << ")";
    return true;
}
