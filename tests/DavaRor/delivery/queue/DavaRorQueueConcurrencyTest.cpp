#include "QueueTestFixture.h"

#include <random>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using testsupport::ScriptedReply;

// Adds from many threads race flushes from another: every event must reach
// the server exactly once and nothing may stay on disk.
TEST_F(QueueTest, ConcurrentAddsAndFlushesDeliverEveryEventExactlyOnce) {
    constexpr int threads = 8;
    constexpr int perThread = 250;
    config->maxQueueSize = threads * perThread;
    std::mt19937 random(42);
    for (int i = 0; i < 200; ++i) {
        server.enqueue(ScriptedReply::respond(200).after(std::chrono::milliseconds(random() % 5)));
    }
    auto queue = makeQueue();
    davaRorLogEnabled = false; // thousands of lines would only slow the run

    std::atomic<bool> adding{true};
    std::thread flusher([&] {
        while (adding) {
            queue->flush();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> adders;
    for (int t = 0; t < threads; ++t) {
        adders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                queue->add(event(t * perThread + i));
            }
        });
    }
    for (auto& adder : adders) {
        adder.join();
    }
    adding = false;
    flusher.join();
    ASSERT_TRUE(platform::pumpMainQueueUntil(
        [&] {
            queue->flush();
            return queue->depth() == 0;
        },
        60s));

    auto indexes = receivedIndexes();
    std::multiset<int> received(indexes.begin(), indexes.end());
    EXPECT_EQ(received.size(), static_cast<std::size_t>(threads * perThread));
    for (int i = 0; i < threads * perThread; ++i) {
        ASSERT_EQ(received.count(i), 1u) << "event " << i;
    }
    EXPECT_EQ(filesOnDisk(), 0u);
}
