// The delivery rate behind a backlog: batches of 50 sent through the event
// queue to a loopback receiver while 1,000 or 100,000 events wait on disk.
// The queue's bookkeeping should cost per batch, not per waiting event, so
// both rates should be close.
#include "BenchmarkNames.h"
#include "LoopbackSink.h"
#include "SampleEvents.h"
#include "ScratchFolder.h"

#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorFileBackedQueue.h"
#include "DavaRor/delivery/DavaRorQueue.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace deliverybench {

namespace {

using namespace std::chrono_literals;

// Written by a store of its own, far quicker than capturing each event.
void fillFolder(const std::filesystem::path& queueFolder, int count) {
    DavaRorFileBackedQueue store(queueFolder, {});
    const auto& batch = sampleBatch();
    for (int i = 0; i < count; ++i) {
        std::string violation;
        const auto& event = batch[static_cast<std::size_t>(i) % batch.size()];
        store.add(
            DavaRorEventFileContents::check(toJSONData(event.toJSON()).value(), violation).value());
    }
}

void deliverBehindBacklog(benchmark::State& state, int backlog) {
    LoopbackSink sink;
    ScratchFolder folder;
    const DavaRorStorage storage(benchApiKey, folder.path());
    fillFolder(storage.url(DavaRorStorage::StorageKey::queue), backlog);
    const auto config = captureOnlyConfig(sink.baseUrl());
    config->maxBatchSize = flushBatchSize;
    auto queue =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    queue->start(true, true);
    for (auto _ : state) {
        // A flush is refused until the previous batch has let go of the
        // folder, and that wait is part of a batch's cost.
        const int target = queue->depth() - flushBatchSize;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (queue->depth() > target && std::chrono::steady_clock::now() < deadline) {
            queue->flush();
            std::this_thread::yield();
        }
        if (queue->depth() > target) {
            state.SkipWithError("a batch was not delivered within 10 s");
            break;
        }
        state.PauseTiming();
        for (const auto& event : sampleBatch()) {
            queue->add(event);
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * flushBatchSize);
}

} // namespace

void registerBacklogBenchmarks() {
    benchmark::RegisterBenchmark(backlogSmall, deliverBehindBacklog, smallBacklog)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(backlogLarge, deliverBehindBacklog, largeBacklog)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace deliverybench
