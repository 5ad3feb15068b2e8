#include "SDKTestFixture.h"

#include "support/Files.h"
#include "support/RecordingClient.h"

#include <atomic>
#include <set>

namespace {

std::set<std::string> uuidsIn(const json& events) {
    std::set<std::string> uuids;
    for (const auto& event : events) {
        uuids.insert(event["uuid"].get<std::string>());
    }
    return uuids;
}

} // namespace

// Captures from 32 threads race flushes and a close: every event the client
// accepted is either received or still on disk, and a later client on the
// same folder delivers what stayed.
TEST_F(SDKTest, CapturesRacingFlushesAndCloseLoseNothing) {
    constexpr int threads = 32;
    constexpr int perThread = 40;
    config->maxQueueSize = threads * perThread;
    config->flushAt = 10;
    config->maxBatchSize = 25;
    server.setDefaultReply(ScriptedReply::respond(200).after(1ms));
    client->setup(config);
    davaRorLogEnabled = false; // thousands of lines would only slow the run
    testsupport::EventRecorder accepted(*client);

    std::atomic<int> captured{0};
    std::vector<std::thread> capturers;
    for (int t = 0; t < threads; ++t) {
        capturers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                client->capture("race", {{"thread", t}, {"index", i}});
                captured.fetch_add(1);
                if (i % 8 == 0) {
                    client->flush();
                }
            }
        });
    }
    std::thread closer([&] {
        while (captured.load() < threads * perThread / 2) {
            std::this_thread::yield();
        }
        client->close();
    });
    for (auto& capturer : capturers) {
        capturer.join();
    }
    closer.join();

    // Disk first: a file gone by now, or deleted while it is read (an upload
    // of the closed client may still complete), went out with its batch.
    std::set<std::string> onDisk;
    for (const auto& name : testsupport::entryNames(queueFolder())) {
        const auto stored =
            json::parse(testsupport::readFile(queueFolder() / name), nullptr, false);
        if (!stored.is_discarded()) {
            onDisk.insert(stored["uuid"].get<std::string>());
        }
    }
    std::set<std::string> received;
    for (const auto& batch : receivedBatches()) {
        received.merge(uuidsIn(batch["batch"]));
    }
    const auto events = accepted.events();
    ASSERT_GT(events.size(), 0u);
    for (const auto& event : events) {
        const auto uuid = event.uuid.uuidString();
        EXPECT_TRUE(received.contains(uuid) || onDisk.contains(uuid)) << uuid;
    }

    client = DavaRorSDK::create();
    client->setup(config);
    ASSERT_TRUE(platform::pumpMainQueueUntil(
        [&] {
            client->flush();
            return client->queue()->depth() == 0;
        },
        60s));
    received.clear();
    for (const auto& batch : receivedBatches()) {
        received.merge(uuidsIn(batch["batch"]));
    }
    for (const auto& event : events) {
        EXPECT_TRUE(received.contains(event.uuid.uuidString()));
    }
}
