// An application that meets the client as a real one does, for the guest tests.
//   forks <own|shared> <signal|mach> [resetting]: sets the client up with crash capture in that
//     mode, keeps three threads going through the client's calls (with "resetting", the first
//     one sets the client up again and again instead), and forks 200 children from a fourth
//     busy thread. Every other child first captures through the inherited client and pumps the
//     main queue; every child then sets the client up (with the parent's configuration or a
//     new one), captures, closes it and exits 0 if the client was set up. Prints "clean <n>",
//     the children that exited 0, and the wait status of every other one.
//   signalfd: blocks SIGTERM after setup, sends it to the process and reads it from a signalfd;
//     prints the name of every thread. Exit 0 when the signal arrived there.
// The client is the application's own (held in a static) or DavaRorSDK::shared(); its bundle
// identifier is the crash example's, so that example's next start sends what a crash left.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/MainQueue.h"
#include "reporter/KOCrashReporter.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kForks = 200;
constexpr int kBusyThreads = 3;

std::shared_ptr<DavaRorSDK> ownClient;

std::shared_ptr<DavaRorConfig> makeConfig(bool machCapture) {
    auto config = std::make_shared<DavaRorConfig>("crash-key", "http://127.0.0.1:9");
    config->disableReachabilityForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    config->flushAt = 1000000;
    config->errorTrackingConfig->setAutoCapture(machCapture);
    return config;
}

std::shared_ptr<DavaRorSDK> setUp(bool shared, bool machCapture) {
    platform::Bundle::main().setBundleIdentifier("com.example.davaror-crash");
    auto config = makeConfig(machCapture);
    DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                    {{"autocaptureExceptions", machCapture}});
    auto client = shared ? DavaRorSDK::shared() : DavaRorSDK::create();
    client->setup(config);
    if (!shared) {
        ownClient = client;
    }
    if (!machCapture) {
        static KOCrashReporter reporter(KOCrashReporterConfig(
            KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSymbolicationStrategyNone, true));
        if (!reporter.enableCrashReporter()) {
            std::exit(3);
        }
    }
    return client;
}

// Calls that take the client's locks, and those of the configuration, identity, id generator,
// log and callbacks behind it, without a file for each, with a pause at every round (under the
// emulator, a fork among threads that never pause may leave the child stuck inside the
// emulator). A resetting thread sets the client up again and again, which holds its setup lock
// most of the time.
void goThroughTheClient(DavaRorSDK& client, const std::shared_ptr<DavaRorConfig>& config,
                        bool resetting, int round) {
    if (resetting) {
        client.close();
        client.setup(config);
        return;
    }
    if (round % 64 == 0) {
        client.capture("busy");
    }
    client.getDistinctId();
    client.isOptOut();
    client.getFeatureFlag("beta");
    client.notifyContextDidChange();
    auto token = client.onEventCaptured.subscribe([](const DavaRorEvent&) {});
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Exits 0 when the child sets the client up for itself.
[[noreturn]] void runChild(std::shared_ptr<DavaRorSDK> client,
                           const std::shared_ptr<DavaRorConfig>& parentsConfig, int index,
                           bool machCapture) {
    alarm(30);
    if (index % 2 == 1) {
        client->capture("in the child");
        platform::MainQueue::shared().drain();
    }
    client->setup(index % 4 < 2 ? parentsConfig : makeConfig(machCapture));
    const bool setUp = client->enabled();
    client->capture("set up in the child");
    client->close();
    client.reset();
    std::exit(setUp ? 0 : 4);
}

int forks(bool shared, bool machCapture, bool resetting) {
    auto client = setUp(shared, machCapture);
    auto parentsConfig = client->config();
    std::atomic<bool> done{false};
    std::vector<std::thread> busy;
    for (int thread = 0; thread < kBusyThreads; ++thread) {
        busy.emplace_back([&, thread] {
            for (int round = 0; !done.load(); ++round) {
                goThroughTheClient(*client, parentsConfig, resetting && thread == 0, round);
            }
        });
    }
    int clean = 0;
    std::thread forking([&] {
        for (int index = 0; index < kForks; ++index) {
            client->capture("before fork");
            const pid_t child = fork();
            if (child == 0) {
                runChild(client, parentsConfig, index, machCapture);
            }
            int status = 0;
            if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0) {
                ++clean;
            } else {
                std::printf("child %d: status %#x\n", index, status);
                std::fflush(stdout);
            }
        }
    });
    forking.join();
    done.store(true);
    for (auto& thread : busy) {
        thread.join();
    }
    std::printf("clean %d\n", clean);
    client->close();
    return 0;
}

std::string threadNames() {
    std::string names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names += "thread " + name + "\n";
    }
    return names;
}

int readTermFromSignalfd() {
    auto client = setUp(false, true);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    const int fd = signalfd(-1, &term, SFD_CLOEXEC);
    kill(getpid(), SIGTERM);
    pollfd ready{fd, POLLIN, 0};
    signalfd_siginfo info{};
    const bool received = poll(&ready, 1, 10000) == 1 &&
                          read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
    std::printf("%s", threadNames().c_str());
    close(fd);
    client->close();
    return received && info.ssi_signo == SIGTERM ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "forks" && argc > 3) {
        return forks(std::string_view(argv[2]) == "shared", std::string_view(argv[3]) == "mach",
                     argc > 4 && std::string_view(argv[4]) == "resetting");
    }
    if (mode == "signalfd") {
        return readTermFromSignalfd();
    }
    std::fprintf(stderr, "usage: %s forks <own|shared> <signal|mach> [resetting] | signalfd\n",
                 argv[0]);
    return 2;
}
