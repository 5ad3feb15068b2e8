// A queue over a real folder, uploading to a scripted loopback server, with a
// clock the test moves by hand and the client's log captured.
#pragma once

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/core/LogSink.h"
#include "platform/core/PumpUntil.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override { davaRorLogEnabled = true; }
    void TearDown() override { davaRorLogEnabled = false; }

    std::shared_ptr<DavaRorQueue>
    makeQueue(DavaRorQueue::DavaRorApiEndpoint endpoint = DavaRorQueue::DavaRorApiEndpoint::batch,
              std::chrono::milliseconds requestDeadline = DavaRorApi::defaultDeadline) {
        auto queue = std::make_shared<DavaRorQueue>(
            config, storage,
            std::make_shared<DavaRorApi>(config, std::make_shared<platform::http::HttpTransport>(),
                                         requestDeadline),
            endpoint, nullptr, clocks());
        queue->start(true, true);
        return queue;
    }

    static DavaRorEvent event(int index, nlohmann::json extra = nlohmann::json::object()) {
        extra["index"] = index;
        return DavaRorEvent("event " + std::to_string(index), "user", extra,
                            std::chrono::system_clock::now(),
                            davaror::TimeBasedEpochGenerator::shared().v7());
    }

    // Clocks that move only when the test moves them.
    DavaRorQueue::Clocks clocks() {
        return {[this] {
                    std::lock_guard guard(clockLock);
                    return monotonicClock;
                },
                [this] {
                    std::lock_guard guard(clockLock);
                    return wallClock;
                }};
    }
    // Time passing: both clocks move.
    void advanceClock(std::chrono::milliseconds by) {
        std::lock_guard guard(clockLock);
        monotonicClock += by;
        wallClock += by;
    }
    // The system clock set to another time: only the wall clock moves.
    void stepWallClock(std::chrono::milliseconds by) {
        std::lock_guard guard(clockLock);
        wallClock += by;
    }

    // The "index" of every event of every batch received, in arrival order.
    std::vector<int> receivedIndexes() {
        std::vector<int> indexes;
        for (const auto& request : server.requests()) {
            const auto body = nlohmann::json::parse(gunzip(request.body));
            for (const auto& sent : body["batch"]) {
                indexes.push_back(sent["properties"]["index"].get<int>());
            }
        }
        return indexes;
    }

    bool waitForLog(const std::string& text, std::size_t count = 1) {
        return platform::pumpMainQueueUntil([&] { return log.count(text) >= count; });
    }

    // Flushes until `text` has been logged `count` times. A reply is logged
    // just before its batch lets the next flush through, so a single flush
    // right after the log line may still be refused as "Already flushing".
    bool flushUntilLogged(DavaRorQueue& queue, const std::string& text, std::size_t count = 1) {
        return platform::pumpMainQueueUntil([&] {
            queue.flush();
            return log.count(text) >= count;
        });
    }

    // One flush that the queue does not refuse as "Already flushing": the last
    // reply is logged just before its batch lets the next flush through. False
    // when the queue never lets go of its batch.
    bool flushOnceLetGo(DavaRorQueue& queue) {
        return platform::pumpMainQueueUntil([&] {
            const auto refused = log.count("Already flushing");
            queue.flush();
            return log.count("Already flushing") == refused;
        });
    }

    std::size_t filesOnDisk() const {
        auto folder = storage.url(DavaRorStorage::StorageKey::queue);
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                      std::filesystem::directory_iterator()));
    }

    platform::log::ScopedCapture log;
    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory folder;
    std::shared_ptr<DavaRorConfig> config =
        std::make_shared<DavaRorConfig>("key", server.baseUrl());
    DavaRorStorage storage{"key", folder.path()};

private:
    std::mutex clockLock;
    std::chrono::steady_clock::time_point monotonicClock = std::chrono::steady_clock::now();
    DavaRorDate wallClock = std::chrono::system_clock::now();
};
