// Setup's cost on the calling thread at a later launch (the storage folder, the ids and the
// stored error-tracking switch are there; no crash report is pending), with crash capture off
// and on, and the crash reporter's two steps on their own: its construction, which follows the
// loaded images, and its enabling. Much of setup happens once per process, so every measured
// run is a process started anew from this program, as a launch is; it times its step and hands
// the figure back through a pipe.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/UniqueFd.h"
#include "reporter/KOCrashReporter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Step = std::function<Clock::duration()>;

std::shared_ptr<DavaRorConfig> launchConfig(bool crashCapture) {
    platform::Bundle::main().setBundleIdentifier("com.example.davaror-setup-bench");
    auto config = std::make_shared<DavaRorConfig>("setup-bench-key", "http://127.0.0.1:9");
    config->disableReachabilityForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->flushAt = 1000000;
    config->errorTrackingConfig->setAutoCapture(crashCapture);
    DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                    {{"autocaptureExceptions", crashCapture}});
    return config;
}

Clock::duration timeSetup(bool crashCapture) {
    auto config = launchConfig(crashCapture);
    auto client = DavaRorSDK::create();
    const auto start = Clock::now();
    client->setup(config);
    const auto spent = Clock::now() - start;
    client->close();
    return spent;
}

KOCrashReporterConfig reporterConfig() {
    return KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                 KOCrashReporterSymbolicationStrategyNone, true);
}

Clock::duration timeReporterConstruction() {
    launchConfig(true);
    const auto start = Clock::now();
    KOCrashReporter reporter(reporterConfig());
    return Clock::now() - start;
}

Clock::duration timeReporterEnable() {
    launchConfig(true);
    KOCrashReporter reporter(reporterConfig());
    const auto start = Clock::now();
    if (!reporter.enableCrashReporter()) {
        std::_Exit(2);
    }
    return Clock::now() - start;
}

// Set in a measured process: the index of its step in steps().
constexpr const char* kStepVariable = "DAVAROR_SETUP_BENCH_STEP";

struct NamedStep {
    const char* name;
    Step step;
};

const std::vector<NamedStep>& steps() {
    static const std::vector<NamedStep> all{
        {"setup/capture_off", [] { return timeSetup(false); }},
        {"setup/capture_on", [] { return timeSetup(true); }},
        {"setup/capture_on/reporter_construction", timeReporterConstruction},
        {"setup/capture_on/reporter_enable", timeReporterEnable},
    };
    return all;
}

// In a measured process: times its step and writes the figure to standard output.
[[noreturn]] void runMeasuredStep(std::size_t index) {
    const auto nanoseconds = std::chrono::nanoseconds(steps().at(index).step()).count();
    const bool written = write(STDOUT_FILENO, &nanoseconds, sizeof nanoseconds) ==
                         static_cast<ssize_t>(sizeof nanoseconds);
    std::_Exit(written ? 0 : 1);
}

// The step's time in a process started anew, or none when it failed.
std::optional<Clock::duration> inFreshProcess(std::size_t index) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    platform::UniqueFd reading(ends[0]);
    platform::UniqueFd writing(ends[1]);
    const pid_t child = fork();
    if (child == 0) {
        if (dup2(writing.get(), STDOUT_FILENO) < 0 ||
            setenv(kStepVariable, std::to_string(index).c_str(), 1) != 0) {
            std::_Exit(126);
        }
        execl("/proc/self/exe", "davaror_setup_bench", static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    writing.reset();
    std::chrono::nanoseconds::rep nanoseconds = 0;
    const bool read =
        child > 0 && ::read(reading.get(), &nanoseconds, sizeof nanoseconds) == sizeof nanoseconds;
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return std::chrono::nanoseconds(nanoseconds);
}

void measure(benchmark::State& state, std::size_t index) {
    for (auto _ : state) {
        const auto spent = inFreshProcess(index);
        if (!spent) {
            state.SkipWithError("the measured child failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(*spent).count());
    }
}

// The folders of one benchmark run, and the first launch that fills them.
class Launches {
public:
    Launches() {
        char pattern[] = "/tmp/davaror-setup-bench-XXXXXX";
        if (const char* temporary = std::getenv("TMPDIR"); temporary != nullptr) {
            folder_ = std::filesystem::path(temporary) / "davaror-setup-bench-XXXXXX";
        } else {
            folder_ = pattern;
        }
        std::string name = folder_.string();
        if (mkdtemp(name.data()) == nullptr) {
            std::exit(1);
        }
        folder_ = name;
        for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
            setenv(variable, (folder_ / variable).c_str(), 1);
        }
        inFreshProcess(1);
    }
    ~Launches() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    Launches(const Launches&) = delete;
    Launches& operator=(const Launches&) = delete;

private:
    std::filesystem::path folder_;
};

} // namespace

int main(int argc, char** argv) {
    if (const char* step = std::getenv(kStepVariable); step != nullptr) {
        runMeasuredStep(std::stoul(step));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const Launches launches;
    for (std::size_t index = 0; index < steps().size(); ++index) {
        benchmark::RegisterBenchmark(steps()[index].name,
                                     [index](benchmark::State& state) { measure(state, index); })
            ->UseManualTime()
            ->Iterations(40)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
