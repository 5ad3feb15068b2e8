#include "PrivateNetworkNamespace.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace netns {
namespace {

constexpr const char* insideVariable = "DAVAROR_TEST_PRIVATE_NETNS";
constexpr int innerRunLimitSeconds = 120;

struct Outcome {
    int exitStatus = -1;
    std::string output;
};

std::vector<std::string> emulatorCommand() {
    std::vector<std::string> words;
    std::istringstream emulator(DAVAROR_TEST_EMULATOR);
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string quoted(const std::string& word) {
    std::string text = "'";
    for (const char c : word) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// Runs `command` through the shell with its standard error joined to its output, killed once
// `limitSeconds` have passed (coreutils' timeout).
Outcome run(const std::vector<std::string>& command, int limitSeconds) {
    std::string line = "timeout -s KILL " + std::to_string(limitSeconds);
    for (const auto& word : command) {
        line += " " + quoted(word);
    }
    line += " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "cannot start " + command[0]};
    }
    Outcome outcome;
    std::array<char, 4096> chunk;
    while (const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
        outcome.output.append(chunk.data(), got);
    }
    const int status = pclose(pipe);
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (outcome.exitStatus == 124 || outcome.exitStatus == 128 + SIGKILL) {
        outcome.output += "\n(killed after " + std::to_string(limitSeconds) + " s)";
    }
    return outcome;
}

bool refusedByKernel(const std::string& output) {
    for (const char* sign :
         {"unshare failed", "write failed /proc/self/", "cannot open /proc/self/"}) {
        if (output.find(sign) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string skipReason(const std::string& output) {
    const auto skipped = output.find("Skipped\n");
    if (skipped == std::string::npos) {
        return "skipped inside the namespace";
    }
    const auto start = skipped + 8;
    return output.substr(start, output.find('\n', start) - start);
}

} // namespace

bool insidePrivateNetworkNamespace() {
    return std::getenv(insideVariable) != nullptr;
}

void runCurrentTestInPrivateNetworkNamespace() {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string fullName = std::string(test->test_suite_name()) + "." + test->name();
    const std::string filter = "--gtest_filter=" + fullName;
    std::vector<std::string> command = {"env", std::string(insideVariable) + "=1", "unshare",
                                        "-rn"};
    for (auto& word : emulatorCommand()) {
        command.push_back(std::move(word));
    }
    command.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    command.push_back(filter);

    const auto outcome = run(command, innerRunLimitSeconds);
    if (outcome.exitStatus != 0 && refusedByKernel(outcome.output)) {
        GTEST_SKIP() << "the kernel refuses a private user and network namespace here: "
                     << outcome.output;
    }
    if (outcome.exitStatus != 0) {
        ADD_FAILURE() << "inside the private network namespace:\n" << outcome.output;
        return;
    }
    if (outcome.output.find("[  SKIPPED ] " + fullName) != std::string::npos) {
        GTEST_SKIP() << skipReason(outcome.output);
    }
    EXPECT_NE(outcome.output.find("[       OK ] " + fullName), std::string::npos)
        << "the test did not run inside the private network namespace:\n"
        << outcome.output;
}

bool ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"ip"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto outcome = run(command, 30);
    if (outcome.exitStatus != 0) {
        std::string line;
        for (const auto& word : command) {
            line += word + " ";
        }
        ADD_FAILURE() << line << "failed: " << outcome.output;
        return false;
    }
    return true;
}

bool createVethPair() {
    const auto outcome = run({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}, 30);
    if (outcome.exitStatus != 0) {
        return false;
    }
    return ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"});
}

} // namespace netns
