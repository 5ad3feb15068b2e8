// Capture-to-disk throughput: events stored per second by 1, 4, 8 and 16
// threads through the event queue and through the client facade, against a
// baseline that writes the same bytes to the same kind of file (one file per
// event, named by a fresh UUID, in one folder) with plain system calls.
#include "BenchmarkNames.h"
#include "SampleEvents.h"
#include "ScratchFolder.h"

#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/core/UUID.h"
#include "platform/core/UniqueFd.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

namespace deliverybench {

namespace {

// Removed only when the process ends: on some file systems, removing
// thousands of files slows the file creations that follow for a while, which
// would penalise whichever run came next.
const std::filesystem::path& capturesFolder() {
    static const ScratchFolder folder;
    return folder.path();
}

// Built before a run's threads start and released after they all end; every
// run starts in an empty folder of its own.
struct CaptureRun {
    std::filesystem::path folder;
    std::shared_ptr<DavaRorQueue> queue;
    std::shared_ptr<DavaRorSDK> client;
};

std::optional<CaptureRun> captureRun;
int runsStarted = 0;

void startRun(const benchmark::State&) {
    captureRun.emplace();
    captureRun->folder = capturesFolder() / ("run-" + std::to_string(++runsStarted));
    std::filesystem::create_directory(captureRun->folder);
}

void startQueueRun(const benchmark::State& state) {
    startRun(state);
    auto config = captureOnlyConfig(neverContactedHost);
    DavaRorStorage storage(benchApiKey, captureRun->folder);
    captureRun->queue =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    captureRun->queue->start(true, true);
}

void startClientRun(const benchmark::State& state) {
    startRun(state);
    ::setenv("XDG_DATA_HOME", captureRun->folder.c_str(), 1);
    captureRun->client = DavaRorSDK::create();
    captureRun->client->setup(captureOnlyConfig(neverContactedHost));
}

void endRun(const benchmark::State&) {
    if (captureRun && captureRun->client) {
        captureRun->client->close();
    }
    captureRun.reset();
}

void writeRawFiles(benchmark::State& state) {
    const std::string& bytes = sampleEventBytes();
    const auto& folder = captureRun->folder;
    for (auto _ : state) {
        const auto file = folder / platform::UUID::random().uuidString();
        platform::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd ||
            ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            state.SkipWithError("could not write an event file");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void addToQueue(benchmark::State& state) {
    const DavaRorEvent& event = sampleEvent();
    DavaRorQueue& queue = *captureRun->queue;
    for (auto _ : state) {
        queue.add(event);
    }
    // A queue that could not write would be measured failing, not storing.
    if (queue.depth() == 0) {
        state.SkipWithError("the queue stored no event");
    }
    state.SetItemsProcessed(state.iterations());
}

void captureThroughClient(benchmark::State& state) {
    const nlohmann::json properties = {{"button", "checkout"}, {"screen", "cart"}};
    DavaRorSDK& client = *captureRun->client;
    for (auto _ : state) {
        client.capture("button_tapped", properties);
    }
    // A client that refused the captures would be measured refusing them.
    if (auto queue = client.queue(); !queue || queue->depth() == 0) {
        state.SkipWithError("the client stored no event");
    }
    state.SetItemsProcessed(state.iterations());
}

// Every run stores the same number of events, shared among its threads, so
// the client and the baseline fill folders of the same size, and the disk
// space a run takes is bounded.
constexpr int eventsPerRun = 8000;

void registerCapture(const char* name, void (*body)(benchmark::State&),
                     void (*start)(const benchmark::State&)) {
    for (int threads : captureThreadCounts) {
        benchmark::RegisterBenchmark(name, body)
            ->Threads(threads)
            ->Iterations(eventsPerRun / threads)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->Setup(start)
            ->Teardown(endRun);
    }
}

} // namespace

void registerCaptureBenchmarks() {
    // Built before any run, so no run pays for it.
    sampleEventBytes();
    registerCapture(rawWrite, writeRawFiles, startRun);
    registerCapture(queueAdd, addToQueue, startQueueRun);
    registerCapture(sdkCapture, captureThroughClient, startClientRun);
}

} // namespace deliverybench
