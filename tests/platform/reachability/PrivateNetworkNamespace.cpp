#include "PrivateNetworkNamespace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace netns {
namespace {

constexpr const char* insideVariable = "DAVAROR_TEST_PRIVATE_NETNS";
constexpr auto innerRunLimit = std::chrono::seconds(120);

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

// Runs `command` with `extraEnvironment` added, collecting standard output and
// error; kills it once `limit` has passed.
Outcome run(const std::vector<std::string>& command, const std::string& extraEnvironment,
            std::chrono::seconds limit) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return {-1, "pipe failed"};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);

    std::vector<char*> argv;
    for (const auto& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    std::string extra = extraEnvironment;
    if (!extra.empty()) {
        envp.push_back(extra.data());
    }
    envp.push_back(nullptr);

    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return {-1, "cannot start " + command[0] + ": " + std::strerror(spawned)};
    }

    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::array<char, 4096> chunk;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0) {
            kill(child, SIGKILL);
            outcome.output += "\n(killed after " + std::to_string(limit.count()) + " s)";
            break;
        }
        const ssize_t got = read(pipeEnds[0], chunk.data(), chunk.size());
        if (got <= 0) {
            break;
        }
        outcome.output.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    std::vector<std::string> command = {"unshare", "-rn"};
    for (auto& word : emulatorCommand()) {
        command.push_back(std::move(word));
    }
    command.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    command.push_back(filter);

    const auto outcome = run(command, std::string(insideVariable) + "=1", innerRunLimit);
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
    const auto outcome = run(command, "", std::chrono::seconds(30));
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
    const auto outcome = run({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}, "",
                             std::chrono::seconds(30));
    if (outcome.exitStatus != 0) {
        return false;
    }
    return ip({"link", "set", "v0", "up"}) && ip({"link", "set", "v1", "up"});
}

} // namespace netns
