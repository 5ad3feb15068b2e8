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
//   descriptors: under a limit of 64 descriptors, sets up as the examples do (reachability on,
//     Mach mode) and prints "client descriptors <n>" and "client pipe ends <n>", then
//     "opened <n>": the files the application could still open; after close, "after close <n>".
//   memory: under an address-space limit of 768 MiB, sets up as the examples do, captures, and
//     then allocates and fills 100 MiB; prints "allocated 100 MiB" when it could.
//   timers: a handler and a 10 ms timer on each of SIGRTMIN+0..7, then setup in Mach mode and a
//     live report; prints "fired <n> <calls>" for each signal over the next 300 ms.
//   takeback: a forked child sets up in Mach mode, starts 6 idle threads, puts a handler of its
//     own on every real-time signal and crashes (SIGSEGV); the parent gives it 3 s from then.
//     Prints "crash ended by signal <n>", or "crash still running" when it was killed.
//   crash: sets up in Mach mode, prints "threads <n>" (those the kernel lists) and crashes
//     (SIGSEGV). frames: reads the report that crash left and prints "report threads <n>" and
//     "threads with frames <n>".
// The client is the application's own (held in a static) or DavaRorSDK::shared(); its bundle
// identifier is the crash example's, so that example's next start sends what a crash left.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "KOCrashReport.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/MainQueue.h"
#include "reporter/KOCrashReporter.h"

#include "ForkedChild.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

// A store the sanitizers let through to the kernel, which faults. Its address is not known to
// the compiler, which would otherwise see the fault coming.
extern "C" __attribute__((noinline)) void guest_store_through(volatile int* address) {
    *address = 1;
}

namespace {

constexpr int kForks = 200;
constexpr int kBusyThreads = 3;

std::shared_ptr<DavaRorSDK> ownClient;

std::shared_ptr<DavaRorConfig> makeConfig(bool machCapture, bool reachability = false) {
    auto config = std::make_shared<DavaRorConfig>("crash-key", "http://127.0.0.1:9");
    config->disableReachabilityForTesting = !reachability;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->disableQueueTimerForTesting = true;
    config->flushAt = 1000000;
    config->errorTrackingConfig->setAutoCapture(machCapture);
    return config;
}

std::shared_ptr<DavaRorSDK> setUp(bool shared, bool machCapture, bool reachability = false) {
    platform::Bundle::main().setBundleIdentifier("com.example.davaror-crash");
    auto config = makeConfig(machCapture, reachability);
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

// Open descriptors, and those of them that are pipes.
std::pair<int, int> openDescriptors() {
    int count = 0;
    int pipes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        pipes += std::filesystem::read_symlink(entry.path(), error).string().starts_with("pipe:");
        ++count;
    }
    // The listing's own descriptor.
    return {count - 1, pipes};
}

int descriptorsUnderALimitOf64() {
    const rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 3;
    }
    const auto [before, pipesBefore] = openDescriptors();
    auto client = setUp(false, true, true);
    client->capture("with few descriptors");
    // What the client holds for good: the thread that describes the loaded libraries once holds
    // one of their files at a time for a moment after setup.
    waitUntilImageAnnouncerEnds();
    const auto [after, pipesAfter] = openDescriptors();
    std::printf("client descriptors %d\nclient pipe ends %d\n", after - before,
                pipesAfter - pipesBefore);
    std::vector<int> opened;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        opened.push_back(fd);
    }
    std::printf("opened %zu\n", opened.size());
    for (int fd : opened) {
        close(fd);
    }
    client->close();
    std::printf("after close %d\n", openDescriptors().first - before);
    return 0;
}

int allocatesUnderAnAddressSpaceLimit() {
    constexpr rlim_t kLimit = rlim_t{768} << 20;
    const rlimit limit{kLimit, kLimit};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        return 3;
    }
    auto client = setUp(false, true, true);
    for (int event = 0; event < 20; ++event) {
        client->capture("under a limit");
    }
    client->flush();
    constexpr std::size_t kBytes = std::size_t{100} << 20;
    const std::unique_ptr<char[]> block(new (std::nothrow) char[kBytes]);
    if (block) {
        std::memset(block.get(), 1, kBytes);
        std::printf("allocated 100 MiB\n");
    }
    client->close();
    return 0;
}

int threadCount() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)task;
        ++count;
    }
    return count;
}

[[noreturn]] void crashWithTheClientSetUp() {
    auto client = setUp(false, true);
    client->capture("before the crash");
    client->flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("threads %d\n", threadCount());
    std::fflush(stdout);
    guest_store_through(reinterpret_cast<volatile int*>(0x10));
    std::_Exit(4);
}

int framesOfTheLastCrash() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const auto path = std::filesystem::path(cache != nullptr ? cache : "") /
                      "com.davaror.crashreporter/com.example.davaror-crash/live_report.kocrash";
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    std::optional<KOError> error;
    const auto report = KOCrashReport::initWithData(bytes, &error);
    if (!report) {
        return 3;
    }
    int walked = 0;
    for (const auto& thread : report->threads()) {
        walked += thread.stackFrames().empty() ? 0 : 1;
    }
    std::printf("report threads %zu\nthreads with frames %d\n", report->threads().size(), walked);
    return 0;
}

constexpr int kTimedSignals = 8;
std::atomic<int> timerCalls[kTimedSignals];

void countTimerCall(int signal) {
    timerCalls[signal - SIGRTMIN].fetch_add(1);
}

int timersKeepFiring() {
    struct sigaction counting {};
    sigemptyset(&counting.sa_mask);
    counting.sa_handler = countTimerCall;
    counting.sa_flags = SA_RESTART;
    for (int offset = 0; offset < kTimedSignals; ++offset) {
        sigaction(SIGRTMIN + offset, &counting, nullptr);
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGRTMIN + offset;
        timer_t timer;
        const itimerspec every10ms{{0, 10000000}, {0, 10000000}};
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0 ||
            timer_settime(timer, 0, &every10ms, nullptr) != 0) {
            return 3;
        }
    }
    auto client = setUp(false, true);
    KOCrashReporter reporter(KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                                   KOCrashReporterSymbolicationStrategyNone, true));
    if (!reporter.generateLiveReport()) {
        return 4;
    }
    for (std::atomic<int>& calls : timerCalls) {
        calls.store(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int offset = 0; offset < kTimedSignals; ++offset) {
        std::printf("fired %d %d\n", offset, timerCalls[offset].load());
    }
    client->close();
    return 0;
}

void ignoreSignal(int) {}

[[noreturn]] void crashWithIdleThreadsAndEveryRealTimeSignalTaken(int readyFd) {
    setUp(false, true);
    std::atomic<bool> never{false};
    for (int index = 0; index < 6; ++index) {
        std::thread([&never] {
            while (!never.load()) {
                pause();
            }
        }).detach();
    }
    struct sigaction own {};
    sigemptyset(&own.sa_mask);
    own.sa_handler = ignoreSignal;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        sigaction(signal, &own, nullptr);
    }
    const char ready = 'r';
    if (write(readyFd, &ready, 1) != 1) {
        _exit(3);
    }
    guest_store_through(reinterpret_cast<volatile int*>(0x10));
    _exit(4);
}

int crashAfterTheParkSignalIsTakenBack() {
    int ready[2];
    if (pipe(ready) != 0) {
        return 3;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        crashWithIdleThreadsAndEveryRealTimeSignalTaken(ready[1]);
    }
    close(ready[1]);
    char byte = 0;
    if (child < 0 || read(ready[0], &byte, 1) != 1) {
        return 3;
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            std::printf("crash still running\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("crash ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return 0;
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
    if (mode == "descriptors") {
        return descriptorsUnderALimitOf64();
    }
    if (mode == "memory") {
        return allocatesUnderAnAddressSpaceLimit();
    }
    if (mode == "crash") {
        crashWithTheClientSetUp();
    }
    if (mode == "frames") {
        return framesOfTheLastCrash();
    }
    if (mode == "timers") {
        return timersKeepFiring();
    }
    if (mode == "takeback") {
        return crashAfterTheParkSignalIsTakenBack();
    }
    std::fprintf(
        stderr,
        "usage: %s forks <own|shared> <signal|mach> [resetting] | signalfd | descriptors | "
        "memory | crash | frames | timers | takeback\n",
        argv[0]);
    return 2;
}
