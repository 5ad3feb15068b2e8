// The cost of one flush of 50 events, stage by stage as the event queue runs
// them: load the files, decode them into events, serialise the batch body,
// gzip it, POST it to a loopback receiver and delete the files. A whole flush
// through the queue, with its thread hand-overs, is measured beside them.
#include "BenchmarkNames.h"
#include "LoopbackSink.h"
#include "SampleEvents.h"
#include "ScratchFolder.h"

#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorJSON.h"
#include "DavaRor/Utils/DavaRorSdkInfo.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorFileBackedQueue.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "DavaRor/delivery/Gzip.h"
#include "platform/http/HttpTransport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <optional>
#include <thread>

using davaror::gzipped;

namespace deliverybench {

namespace {

using namespace std::chrono_literals;

const std::vector<std::string>& storedBatch() {
    static const std::vector<std::string> contents = [] {
        std::vector<std::string> stored;
        for (const auto& event : sampleBatch()) {
            stored.push_back(toJSONData(event.toJSON()).value());
        }
        return stored;
    }();
    return contents;
}

void storeBatch(DavaRorFileBackedQueue& store) {
    for (const auto& contents : storedBatch()) {
        std::string violation;
        store.add(DavaRorEventFileContents::check(contents, violation).value());
    }
}

std::vector<DavaRorEvent> decode(const std::vector<std::string>& contents) {
    std::vector<DavaRorEvent> events;
    for (const auto& stored : contents) {
        auto json = nlohmann::json::parse(stored, nullptr, false);
        if (!json.is_object()) {
            continue;
        }
        if (auto event = DavaRorEvent::fromJSON(json)) {
            events.push_back(std::move(*event));
        }
    }
    return events;
}

// The request the API client makes of a batch body: the same address,
// headers and gzip-compressed body.
platform::http::HttpRequest batchRequest(const std::string& host) {
    platform::http::HttpRequest request;
    request.method = "POST";
    request.url = host + "/batch";
    request.headers = {
        {"Content-Type", "application/json; charset=utf-8"},
        {"User-Agent", davaRorSdkName + "/" + davaRorVersion},
        {"Accept-Encoding", "gzip"},
        {"Content-Encoding", "gzip"},
    };
    request.body = gzipped(batchBody(sampleBatch()));
    return request;
}

void loadFiles(benchmark::State& state) {
    ScratchFolder folder;
    DavaRorFileBackedQueue store(folder.path(), {});
    storeBatch(store);
    for (auto _ : state) {
        auto loaded = store.loadFiles(flushBatchSize);
        if (loaded.contents.size() != static_cast<std::size_t>(flushBatchSize)) {
            state.SkipWithError("the store did not load the whole batch");
            break;
        }
        benchmark::DoNotOptimize(loaded);
    }
}

void decodeEvents(benchmark::State& state) {
    const auto& contents = storedBatch();
    for (auto _ : state) {
        auto events = decode(contents);
        if (events.size() != contents.size()) {
            state.SkipWithError("an event did not decode");
            break;
        }
        benchmark::DoNotOptimize(events);
    }
}

void serialiseBatch(benchmark::State& state) {
    const auto& events = sampleBatch();
    for (auto _ : state) {
        auto body = batchBody(events);
        benchmark::DoNotOptimize(body);
    }
}

void gzipBatch(benchmark::State& state) {
    const std::string body = batchBody(sampleBatch());
    for (auto _ : state) {
        auto compressed = gzipped(body);
        benchmark::DoNotOptimize(compressed);
    }
    state.counters["body_bytes"] = static_cast<double>(body.size());
    state.counters["gzip_bytes"] = static_cast<double>(gzipped(body).size());
}

void postBatch(benchmark::State& state) {
    LoopbackSink sink;
    platform::http::HttpTransport transport;
    const auto request = batchRequest(sink.baseUrl());
    for (auto _ : state) {
        std::promise<std::optional<int>> replied;
        transport.send(request, [&replied](platform::http::HttpResponse response) {
            replied.set_value(response.statusCode);
        });
        if (replied.get_future().get() != 200) {
            state.SkipWithError("the loopback receiver did not answer 200");
            break;
        }
    }
}

void deleteFiles(benchmark::State& state) {
    ScratchFolder folder;
    DavaRorFileBackedQueue store(folder.path(), {});
    for (auto _ : state) {
        state.PauseTiming();
        storeBatch(store);
        const auto names = store.loadFiles(flushBatchSize).names;
        state.ResumeTiming();
        store.deleteFiles(names);
    }
    if (store.depth() != 0) {
        state.SkipWithError("files were left in the store");
    }
}

// Each flush gets a fresh queue over the same folder: a queue clears its
// flushing mark only after its files are gone, and a new one never waits
// for that.
void flushThroughQueue(benchmark::State& state) {
    LoopbackSink sink;
    ScratchFolder folder;
    const DavaRorStorage storage(benchApiKey, folder.path());
    const auto config = captureOnlyConfig(sink.baseUrl());
    config->maxBatchSize = flushBatchSize;
    const auto api = std::make_shared<DavaRorApi>(config);
    // Declared outside the loop so that each queue is released while the
    // timing is paused.
    std::shared_ptr<DavaRorQueue> queue;
    for (auto _ : state) {
        state.PauseTiming();
        queue = std::make_shared<DavaRorQueue>(config, storage, api,
                                               DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
        queue->start(true, true);
        for (const auto& event : sampleBatch()) {
            queue->add(event);
        }
        state.ResumeTiming();
        queue->flush();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (queue->depth() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (queue->depth() > 0) {
            state.SkipWithError("the flush did not finish within 10 s");
            break;
        }
    }
}

void registerStage(const char* name, void (*body)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, body)->UseRealTime()->Unit(benchmark::kMicrosecond);
}

} // namespace

void registerFlushBenchmarks() {
    storedBatch();
    registerStage(flushLoad, loadFiles);
    registerStage(flushDecode, decodeEvents);
    registerStage(flushSerialise, serialiseBatch);
    registerStage(flushGzip, gzipBatch);
    registerStage(flushPost, postBatch);
    registerStage(flushDelete, deleteFiles);
    registerStage(flushWhole, flushThroughQueue);
}

} // namespace deliverybench
