#include "QueueTestFixture.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/Reachability.h"
#include "platform/core/MainQueue.h"
#include "platform/reachability/FakeReachabilitySource.h"
#include "platform/reachability/ReachabilitySourceFactory.h"

#include <atomic>
#include <fstream>
#include <future>
#include <numeric>

#include <sys/resource.h>
#include <unistd.h>

using davaror::Reachability;

using namespace std::chrono_literals;
using testsupport::ScriptedReply;

TEST_F(QueueTest, TheThresholdSendsOneBatchAndLaterAddsWaitForIt) {
    server.enqueue(ScriptedReply::respond(200).after(300ms));
    auto queue = makeQueue();
    for (int i = 0; i < 20; ++i) {
        queue->add(event(i));
    }
    ASSERT_TRUE(server.waitForRequests(1));
    queue->add(event(20)); // over the threshold while the batch is in flight
    EXPECT_TRUE(log.contains("[DavaRor] Already flushing"));
    ASSERT_TRUE(waitForLog("[DavaRor] Completed!"));
    EXPECT_EQ(server.requests().front().path(), "/batch");
    std::vector<int> expected(20);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(receivedIndexes(), expected);
    EXPECT_EQ(queue->depth(), 1);
    EXPECT_EQ(filesOnDisk(), 1u);
    EXPECT_TRUE(log.contains("[DavaRor] Queued event 'event 20'. Depth: 21"));
}

// Every server fault settles its batch exactly once. A batch answered 2xx,
// whatever becomes of the reply's body, or refused with a 4xx is deleted; a
// redirect, a "not now" (408, 429, 5xx) or no answer at all keeps it, and
// the first flush after the pause sends it again.
TEST_F(QueueTest, ServerFaultsSettleEachBatchOnceAndNeverStickTheQueue) {
    ScriptedReply redirectLoop = ScriptedReply::respond(302);
    redirectLoop.headers = {{"Location", server.baseUrl() + "/batch"}};
    const std::string refusedHost = "http://127.0.0.1:" + std::to_string(testsupport::closedPort());
    struct Case {
        const char* name;
        ScriptedReply reply;
        bool kept;
        std::string host;
    };
    const Case cases[] = {
        {"200", ScriptedReply::respond(200), false, server.baseUrl()},
        {"400", ScriptedReply::respond(400, "{\"error\":1}"), false, server.baseUrl()},
        {"404", ScriptedReply::respond(404), false, server.baseUrl()},
        {"200 with a body that is not gzip",
         ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n"
                            "Content-Length: 8\r\n\r\nnot gzip"),
         false, server.baseUrl()},
        {"200 with a body shorter than announced",
         ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort"), false,
         server.baseUrl()},
        {"200 with broken chunks",
         ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"), false,
         server.baseUrl()},
        {"500", ScriptedReply::respond(500), true, server.baseUrl()},
        {"503", ScriptedReply::respond(503), true, server.baseUrl()},
        {"429", ScriptedReply::respond(429), true, server.baseUrl()},
        {"408", ScriptedReply::respond(408), true, server.baseUrl()},
        {"302 to itself", redirectLoop, true, server.baseUrl()},
        {"connection reset", ScriptedReply::reset(), true, server.baseUrl()},
        {"closed without reply", ScriptedReply::closeWithoutReply(), true, server.baseUrl()},
        // Ends when the idle timeout of the request runs out.
        {"stalled", ScriptedReply::hang(), true, server.baseUrl()},
        {"connection refused", ScriptedReply::respond(200), true, refusedHost},
    };
    const auto outcomes = [&] {
        return log.count("Pausing queue consumption") + log.count("Completed!");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TemporaryDirectory caseFolder;
        DavaRorStorage caseStorage("key", caseFolder.path());
        auto caseConfig = std::make_shared<DavaRorConfig>("key", c.host);
        const bool reachesServer = c.host == server.baseUrl();
        if (reachesServer) {
            server.enqueue(c.reply);
        }
        const auto requestsBefore = server.requests().size();
        auto queue = std::make_shared<DavaRorQueue>(
            caseConfig, caseStorage, std::make_shared<DavaRorApi>(caseConfig),
            DavaRorQueue::DavaRorApiEndpoint::batch, nullptr, clocks());
        queue->start(true, true);
        queue->add(event(1));
        queue->add(event(2));
        const auto before = outcomes();
        queue->flush();
        ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return outcomes() > before; }, 30s));
        EXPECT_EQ(queue->depth(), c.kept ? 2 : 0);
        EXPECT_EQ(server.requests().size(), requestsBefore + (reachesServer ? 1 : 0));
        if (!c.kept) {
            EXPECT_EQ(outcomes(), before + 1);
            continue;
        }
        ASSERT_TRUE(flushOnceLetGo(*queue)) << "the batch was never let go";
        EXPECT_TRUE(log.contains("[DavaRor] The queue is paused until `"));
        advanceClock(31s);
        ASSERT_TRUE(flushOnceLetGo(*queue));
        ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return outcomes() > before + 1; }, 30s));
        EXPECT_EQ(outcomes(), before + 2);
        EXPECT_EQ(queue->depth(), reachesServer ? 0 : 2);
    }
}

TEST_F(QueueTest, BackOffGrowsByFiveSecondsUpToThirtyAndASuccessResetsIt) {
    for (int i = 0; i < 7; ++i) {
        server.enqueue(ScriptedReply::respond(302));
    }
    server.enqueue(ScriptedReply::respond(200));
    server.enqueue(ScriptedReply::respond(302));
    auto queue = makeQueue();

    const char* expected[] = {"5.0 seconds due to 1.0",  "10.0 seconds due to 2.0",
                              "15.0 seconds due to 3.0", "20.0 seconds due to 4.0",
                              "25.0 seconds due to 5.0", "30.0 seconds due to 6.0",
                              "30.0 seconds due to 7.0"};
    int pauses = 0;
    for (const char* text : expected) {
        queue->add(event(pauses));
        ASSERT_TRUE(flushUntilLogged(*queue, "Pausing queue consumption", ++pauses));
        EXPECT_TRUE(log.contains(std::string("[DavaRor] Pausing queue consumption for ") + text +
                                 " API failure(s)."));
        advanceClock(std::chrono::seconds(30) - 1ms);
        ASSERT_TRUE(flushOnceLetGo(*queue)); // still inside the longest pause
        advanceClock(1ms);
    }
    ASSERT_TRUE(flushUntilLogged(*queue, "Completed!"));
    EXPECT_EQ(queue->depth(), 0);
    queue->add(event(100));
    ASSERT_TRUE(flushUntilLogged(*queue, "Pausing queue consumption", ++pauses));
    EXPECT_EQ(
        log.count("[DavaRor] Pausing queue consumption for 5.0 seconds due to 1.0 API failure(s)."),
        2u);
}

TEST_F(QueueTest, UndecodableFilesAreDeletedWithoutARequest) {
    auto queueFolder = storage.url(DavaRorStorage::StorageKey::queue);
    std::filesystem::create_directories(queueFolder);
    std::ofstream(queueFolder / "a") << "not json";
    std::ofstream(queueFolder / "b") << "[1, 2]";
    std::ofstream(queueFolder / ".hidden") << R"({"event": "no distinct id"})";
    auto queue = makeQueue();
    ASSERT_EQ(queue->depth(), 3);
    queue->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    EXPECT_EQ(filesOnDisk(), 0u);
    EXPECT_TRUE(server.requests().empty());
}

// An event nested deep enough to overflow the queue thread's stack when its
// properties are copied: such a file would crash every launch at its first
// flush.
TEST_F(QueueTest, ADeeplyNestedEventFileIsDroppedAndTheOthersAreSent) {
    auto queueFolder = storage.url(DavaRorStorage::StorageKey::queue);
    std::filesystem::create_directories(queueFolder);
    std::ofstream(queueFolder / "deep")
        << R"({"event":"deep","distinct_id":"user","properties":{"nested":)"
        << std::string(100'000, '[') << std::string(100'000, ']') << "}}";
    std::filesystem::last_write_time(queueFolder / "deep",
                                     std::filesystem::file_time_type::clock::now() - 1h);
    auto queue = makeQueue();
    queue->add(event(1));
    queue->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    EXPECT_EQ(receivedIndexes(), std::vector<int>{1});
    EXPECT_EQ(filesOnDisk(), 0u);
    EXPECT_EQ(log.count("/deep is corrupted JSON text nests deeper than 128 levels"), 1u);
}

// Only a batch with something read completes; names of files that vanished
// are still let go.
TEST_F(QueueTest, ABatchOfVanishedFilesIsNotReportedAsCompleted) {
    auto queue = makeQueue();
    queue->add(event(1));
    std::filesystem::remove_all(storage.url(DavaRorStorage::StorageKey::queue));
    queue->flush();
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return queue->depth() == 0; }));
    queue->dispatchQueueForTesting().sync([] {});
    EXPECT_EQ(log.count("does not exist"), 1u);
    EXPECT_EQ(log.count("Completed!"), 0u);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(QueueTest, AnEventAddedAfterTheStorageFolderWasDeletedIsSent) {
    auto queue = makeQueue();
    std::filesystem::remove_all(storage.url(DavaRorStorage::StorageKey::queue).parent_path());
    queue->add(event(1));
    ASSERT_TRUE(flushUntilLogged(*queue, "Completed!"));
    EXPECT_EQ(receivedIndexes(), std::vector<int>{1});
}

TEST(DavaRorApiEndpoint, OnlyZeroAndOneAreEndpoints) {
    using Endpoint = DavaRorQueue::DavaRorApiEndpoint;
    const std::pair<int, std::optional<Endpoint>> cases[] = {
        {-1, std::nullopt}, {0, Endpoint::batch}, {1, Endpoint::snapshot}, {2, std::nullopt}};
    for (const auto& [raw, endpoint] : cases) {
        EXPECT_EQ(apiEndpointFromRawValue(raw), endpoint) << raw;
    }
}

TEST_F(QueueTest, AFullQueueDropsTheOldestButAnUnserialisableEventCostsNothing) {
    config->maxQueueSize = 2;
    auto queue = makeQueue();
    queue->add(event(1));
    queue->add(event(2));
    queue->add(event(3, {{"broken", std::string("\xC3\x28")}}));
    EXPECT_TRUE(log.contains("[DavaRor] Tried to queue unserialisable DavaRorEvent"));
    EXPECT_FALSE(log.contains("Queue is full"));
    EXPECT_EQ(queue->depth(), 2);

    queue->add(event(4));
    EXPECT_TRUE(log.contains("[DavaRor] Queue is full, dropping oldest event"));
    EXPECT_EQ(filesOnDisk(), 2u);
    queue->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    EXPECT_EQ(receivedIndexes(), (std::vector<int>{2, 4}));
}

// An event is refused where it is added when its file could not be read
// back; the deepest event that can be is stored and sent.
TEST_F(QueueTest, EventsOverTheLimitsOfStoredFilesAreRefusedAndCostNoStoredEvent) {
    const auto nestedArrays = [](int levels) {
        nlohmann::json nested = nlohmann::json::array();
        for (int level = 1; level < levels; ++level) {
            nested = nlohmann::json::array({nested});
        }
        return nested;
    };
    config->maxQueueSize = 2;
    auto queue = makeQueue();
    queue->add(event(1));
    // Inside the event object and its properties.
    queue->add(event(2, {{"nested", nestedArrays(maxUntrustedJsonDepth - 2)}}));
    queue->add(event(3, {{"nested", nestedArrays(maxUntrustedJsonDepth - 1)}}));
    queue->add(event(4, {{"pad", std::string(maxUntrustedJsonBytes, ' ')}}));
    EXPECT_EQ(log.count("[DavaRor] Tried to queue DavaRorEvent 'event 3' over the limits of "
                        "stored events: JSON text nests deeper than 128 levels"),
              1u);
    EXPECT_EQ(log.count("[DavaRor] Tried to queue DavaRorEvent 'event 4' over the limits of "
                        "stored events: JSON text of "),
              1u);
    EXPECT_FALSE(log.contains("Queue is full"));
    EXPECT_EQ(filesOnDisk(), 2u);

    queue->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    EXPECT_EQ(receivedIndexes(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(log.contains("is corrupted"));
}

TEST_F(QueueTest, EventsKeptByAClosedQueueAreSentByTheNextOne) {
    server.enqueue(ScriptedReply::respond(302));
    {
        auto queue = makeQueue();
        queue->add(event(1));
        queue->add(event(2));
        queue->flush();
        ASSERT_TRUE(waitForLog("Pausing queue consumption"));
        queue->stop();
    }
    auto next = makeQueue();
    ASSERT_EQ(next->depth(), 2);
    // The closed queue's batch holds the folder until just after its log line.
    ASSERT_TRUE(flushUntilLogged(*next, "Completed!"));
    EXPECT_EQ(receivedIndexes(), (std::vector<int>{1, 2, 1, 2}));
    EXPECT_EQ(filesOnDisk(), 0u);
}

TEST_F(QueueTest, TheTimerFlushesAndDoesNotOutliveStop) {
    config->flushIntervalSeconds = 0.02;
    auto ticking =
        std::make_shared<DavaRorQueue>(config, storage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    ticking->start(true, false);
    ticking->add(event(1));
    ASSERT_TRUE(waitForLog("Completed!"));
    ticking->stop();

    // stop() before the main queue got to scheduling the timer: no timer.
    testsupport::TemporaryDirectory otherFolder;
    DavaRorStorage otherStorage("key", otherFolder.path());
    std::promise<void> release;
    platform::MainQueue::shared().async([gate = release.get_future().share()] { gate.wait(); });
    auto stopped =
        std::make_shared<DavaRorQueue>(config, otherStorage, std::make_shared<DavaRorApi>(config),
                                       DavaRorQueue::DavaRorApiEndpoint::batch, nullptr);
    stopped->start(true, false);
    stopped->stop();
    release.set_value();
    stopped->add(event(2));
    const auto requests = server.requests().size();
    EXPECT_FALSE(
        platform::pumpMainQueueUntil([&] { return server.requests().size() > requests; }, 200ms));
    EXPECT_EQ(stopped->depth(), 1);
}

TEST_F(QueueTest, SnapshotsGoToTheSnapshotEndpointWithTheApiKey) {
    auto queue = makeQueue(DavaRorQueue::DavaRorApiEndpoint::snapshot);
    queue->add(event(7));
    queue->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    const auto sent = nlohmann::json::parse(gunzip(server.requests().front().body));
    EXPECT_EQ(server.requests().front().path(), "/s/");
    ASSERT_TRUE(sent.is_array());
    EXPECT_EQ(sent[0]["api_key"], "key");
    EXPECT_TRUE(std::filesystem::exists(storage.url(DavaRorStorage::StorageKey::replayQeueue)));
}

// Both queues share one monitor, whose closures belong to the queue started
// last: only that queue pauses while the network is gone.
TEST_F(QueueTest, TheNetworkPausesAndResumesOnlyTheQueueStartedLast) {
    auto source = std::make_shared<platform::FakeReachabilitySource>(
        platform::kSCNetworkReachabilityFlagsReachable);
    platform::ScopedReachabilitySourceFactory fakeNetwork([source] { return source; });
    auto monitor = Reachability::create();
    auto api = std::make_shared<DavaRorApi>(config);
    auto events = std::make_shared<DavaRorQueue>(config, storage, api,
                                                 DavaRorQueue::DavaRorApiEndpoint::batch, monitor);
    auto replay = std::make_shared<DavaRorQueue>(
        config, storage, api, DavaRorQueue::DavaRorApiEndpoint::snapshot, monitor);
    events->start(false, true);
    replay->start(false, true);
    // The start's own "reachable" notice flushes the queue started last; that
    // (empty) flush ends before the network goes, or a flush below would be
    // refused as already flushing instead of paused.
    std::atomic<bool> noticesDelivered{false};
    platform::MainQueue::shared().async([&] { noticesDelivered = true; });
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return noticesDelivered.load(); }));
    replay->dispatchQueueForTesting().sync([] {});

    source->fireCallback(platform::SCNetworkReachabilityFlags{0});
    ASSERT_TRUE(waitForLog("[DavaRor] Queue is paused because network is unreachable"));
    replay->add(event(1));
    replay->flush();
    EXPECT_TRUE(log.contains("[DavaRor] The queue is paused due to the reachability check"));
    events->add(event(2));
    events->flush();
    ASSERT_TRUE(waitForLog("Completed!"));
    EXPECT_EQ(receivedIndexes(), std::vector<int>{2});

    // Back on the network, the paused queue flushes by itself.
    source->fireCallback(platform::kSCNetworkReachabilityFlagsReachable);
    ASSERT_TRUE(waitForLog("Completed!", 2));
    EXPECT_EQ(server.requests().back().path(), "/s/");
    EXPECT_EQ(replay->depth(), 0);
    monitor->stopNotifier();
}

TEST_F(QueueTest, BatchesAreLoadedAndSentAtALowerPriority) {
    auto queue = makeQueue();
    const int callerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    int workerNice = callerNice;
    queue->dispatchQueueForTesting().sync(
        [&] { workerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
    EXPECT_EQ(workerNice, std::min(callerNice + 5, 19));
}
