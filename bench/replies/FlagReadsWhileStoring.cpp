// How long the application's flag read can take while the client stores a new flags answer of
// 300, 3,000 or 30,000 flags: the answer is served from loopback, and the calling thread reads
// one flag through getFeatureFlag in a loop until the answer is stored (taken in, cached and
// written to disk), once per iteration. The longest single read is the figure.
//   build/host/bench/davaror_flag_read_bench
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string flagsAnswer(int flagCount) {
    std::string body = R"({"requestId":"r","evaluatedAt":1,"flags":{)";
    for (int index = 0; index < flagCount; ++index) {
        const std::string number = std::to_string(index);
        body += index ? "," : "";
        body += R"("flag-)" + number + R"(":{"enabled":true,"variant":null,)" +
                R"("metadata":{"payload":"{\"n\":)" + number + R"(}"}})";
    }
    return body + "}}";
}

long voluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

struct Reads {
    std::vector<Clock::duration> times;
    // Reads during which the thread went to sleep by itself: waited for a lock (or the disk).
    std::vector<Clock::duration> blocked;
};

// Adds every read made until the answer is stored to `reads`.
bool storeAnswer(DavaRorSDK& client, const std::string& readKey, Reads& reads) {
    std::atomic<bool> stored = false;
    std::atomic<bool> taken = false;
    client.reloadFeatureFlags([&](const auto& flags) {
        taken = flags.has_value();
        stored = true;
    });
    while (!stored) {
        const long switchesBefore = voluntarySwitches();
        const auto start = Clock::now();
        benchmark::DoNotOptimize(client.getFeatureFlag(readKey));
        const auto time = Clock::now() - start;
        reads.times.push_back(time);
        if (voluntarySwitches() != switchesBefore) {
            reads.blocked.push_back(time);
        }
    }
    return taken;
}

void longestFlagReadWhileStoring(benchmark::State& state) {
    const int flagCount = static_cast<int>(state.range(0));
    testsupport::TemporaryDirectory folder;
    setenv("XDG_DATA_HOME", folder.path().c_str(), 1);
    testsupport::LoopbackHttpServer service;
    service.setDefaultReply("/flags",
                            testsupport::ScriptedReply::respond(200, flagsAnswer(flagCount)));
    auto config = std::make_shared<DavaRorConfig>("key", service.baseUrl());
    config->disableReachabilityForTesting = true;
    config->disableQueueTimerForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->sendFeatureFlagEvent = false;
    auto client = DavaRorSDK::create();
    client->setup(config);
    const std::string readKey = "flag-" + std::to_string(flagCount / 2);
    // The first answer fills an empty cache; the measured ones replace a full one.
    Reads reads;
    if (!storeAnswer(*client, readKey, reads)) {
        state.SkipWithError("the flags answer was not taken in");
        return;
    }
    reads = {};
    for (auto _ : state) {
        if (!storeAnswer(*client, readKey, reads)) {
            state.SkipWithError("the flags answer was not taken in");
            break;
        }
    }
    // On a busy machine the longest read may be the scheduler's preempting the thread; a read
    // that waited for the lock went to sleep by itself, which the blocked figures count.
    const auto milliseconds = [](Clock::duration time) {
        return std::chrono::duration<double, std::milli>(time).count();
    };
    if (!reads.times.empty()) {
        std::sort(reads.times.begin(), reads.times.end());
        state.counters["reads"] = static_cast<double>(reads.times.size());
        state.counters["longest_read_ms"] = milliseconds(reads.times.back());
        state.counters["p999_read_ms"] = milliseconds(reads.times[reads.times.size() * 999 / 1000]);
        state.counters["blocked_reads"] = static_cast<double>(reads.blocked.size());
        state.counters["longest_blocked_ms"] =
            reads.blocked.empty()
                ? 0.0
                : milliseconds(*std::max_element(reads.blocked.begin(), reads.blocked.end()));
    }
    client->close();
}

BENCHMARK(longestFlagReadWhileStoring)
    ->ArgName("flags")
    ->Arg(300)
    ->Arg(3000)
    ->Arg(30000)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
