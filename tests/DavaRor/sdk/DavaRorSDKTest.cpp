#include "SDKTestFixture.h"

#include "ForkedChild.h"
#include "FreshProcess.h"
#include "support/Files.h"
#include "support/RecordingClient.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>

// A client outside a std::shared_ptr would miss its integrations' events.
static_assert(!std::is_default_constructible_v<DavaRorSDK>);

TEST_F(SDKTest, CapturesFromSeveralThreadsArriveAsOneBatchWithContext) {
    bool started = false;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        DavaRorSDK::didStartNotification, [&](const platform::Notification&) { started = true; });
    client->setup(config);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                client->capture("tap", {{"thread", t}, {"index", i}});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; }));
    EXPECT_TRUE(started);

    auto batches = receivedBatches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0]["api_key"], "key");
    ASSERT_EQ(batches[0]["batch"].size(), 20u);
    for (const auto& event : batches[0]["batch"]) {
        EXPECT_EQ(event["event"], "tap");
        EXPECT_EQ(event["distinct_id"], client->getDistinctId());
        EXPECT_EQ(event["properties"]["$lib"], "davaror-ios");
        EXPECT_TRUE(event["properties"].contains("thread"));
    }
    // A delivered batch leaves the queue's list at once; its files go just after, off the lock.
    EXPECT_TRUE(
        platform::pumpMainQueueUntil([&] { return std::filesystem::is_empty(queueFolder()); }));
}

TEST_F(SDKTest, RefusedCallsLogAndSendNothing) {
    client->capture("before setup");
    client->flush();
    EXPECT_EQ(log.count("DavaRor method was called without `setup` being complete. Call wil be "
                        "ignored."),
              2u);
    client->setup(config);
    config->setOptOut(true);
    client->capture("opted out");
    EXPECT_TRUE(log.contains("[DavaRor] DavaRor is in OptOut state."));
    EXPECT_EQ(client->queue()->depth(), 0);
}

TEST_F(SDKTest, ScreensAndSnapshotsTakeTheirOwnRoads) {
    config->flushAt = 100;
    client->setup(config);
    std::vector<std::string> captured;
    auto token = client->onEventCaptured.subscribe(
        [&](const DavaRorEvent& event) { captured.push_back(event.event); });
    client->screen("Settings", {{"tab", "general"}});
    client->captureInternal("$snapshot", std::nullopt, {{"$session_id", "s1"}}, nullptr, nullptr,
                            nullptr, std::nullopt, false);
    client->captureInternal("$snapshot", std::nullopt, {{"no", "session"}}, nullptr, nullptr,
                            nullptr, std::nullopt, false);
    EXPECT_EQ(captured, (std::vector<std::string>{"$screen", "$snapshot"}));
    EXPECT_EQ(client->queue()->depth(), 1);
    EXPECT_EQ(client->replayQueue()->depth(), 1);

    client->flush();
    ASSERT_TRUE(server.waitForRequests(2));
    bool sawScreen = false;
    for (const auto& request : server.requests()) {
        auto body = json::parse(gunzip(request.body));
        if (request.path() == "/batch") {
            EXPECT_EQ(body["batch"][0]["properties"]["$screen_name"], "Settings");
            EXPECT_EQ(body["batch"][0]["properties"]["tab"], "general");
            sawScreen = true;
        } else {
            EXPECT_EQ(request.path(), "/s/");
            EXPECT_EQ(body[0]["properties"]["$session_id"], "s1");
        }
    }
    EXPECT_TRUE(sawScreen);
}

TEST_F(SDKTest, CloseWhileAnUploadIsInFlightLosesNothing) {
    server.enqueue(ScriptedReply::respond(302).after(300ms));
    config->flushAt = 1;
    client->setup(config);
    client->capture("in flight");
    ASSERT_TRUE(server.waitForRequests(1));
    client->close();
    client.reset(); // the upload's completion still has to run safely
    ASSERT_TRUE(
        platform::pumpMainQueueUntil([&] { return log.contains("Pausing queue consumption"); }));

    // The kept event goes out with the next client on the same folder.
    client = DavaRorSDK::create();
    client->setup(config);
    client->flush();
    ASSERT_TRUE(server.waitForRequests(2));
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; }));
    EXPECT_EQ(receivedBatches()[1]["batch"][0]["event"], "in flight");
}

// Stored events are read back under the limits of untrusted JSON: an event
// written over them would be deleted at its first flush, never sent.
TEST_F(SDKTest, AnEventTooDeepToStoreIsRefusedAndTheOneBesideItIsSent) {
    client->setup(config);
    json nested = "bottom";
    for (int level = 0; level < 128; ++level) {
        nested = json::array({nested});
    }
    // The event object, its properties and 128 arrays: 130 levels.
    client->capture("deep", {{"nested", nested}});
    EXPECT_TRUE(log.contains("[DavaRor] Tried to queue DavaRorEvent 'deep' over the limits of "
                             "stored events: JSON text nests deeper than 128 levels"));
    EXPECT_TRUE(std::filesystem::is_empty(queueFolder()));
    EXPECT_EQ(client->queue()->depth(), 0);

    client->capture("beside it");
    client->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; }));
    const auto batches = receivedBatches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0]["batch"].size(), 1u);
    EXPECT_EQ(batches[0]["batch"][0]["event"], "beside it");
}

// Planted before setup in place of the client's files. The launch runs in a process of its own,
// so that a read that blocks fails the case rather than the suite.
TEST(PlantedFilesTest, FifosAndLinksAreNeitherWaitedForNorFollowed) {
    if (testsupport::ranInAFreshProcess(60)) {
        return;
    }
    namespace fs = std::filesystem;
    testsupport::TemporaryDirectory home;
    testsupport::TemporaryDirectory outside;
    testsupport::useHome(home.path());
    const std::string outsideEvent = R"({"event": "outside", "distinct_id": "someone else"})";
    testsupport::writeFile(outside.path() / "event", outsideEvent);
    const auto queue = DavaRorStorage("key", home.path() / "data" / "davaror")
                           .url(DavaRorStorage::StorageKey::queue);
    fs::create_directories(queue);
    ASSERT_EQ(mkfifo((queue / "fifo").c_str(), 0600), 0);
    fs::create_symlink(outside.path() / "event", queue / "link");
    ASSERT_EQ(mkfifo((queue.parent_path() / "davaror.queue.plist").c_str(), 0600), 0);
    fs::create_directory_symlink(outside.path(), queue.parent_path() / "davaror.queueFolder");

    testsupport::LoopbackHttpServer server;
    auto client = DavaRorSDK::create();
    auto config = testsupport::quietConfig("key", server.baseUrl());
    config->captureApplicationLifecycleEvents = false;
    client->setup(config);
    client->capture("launched");
    client->flush();
    ASSERT_TRUE(server.waitForRequests(1)) << "nothing was sent";
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; }));
    client->close();
    const auto batch = json::parse(gunzip(server.requests()[0].body))["batch"];
    ASSERT_EQ(batch.size(), 1u) << "the linked events stayed out";
    EXPECT_EQ(batch[0]["event"], "launched");
    EXPECT_TRUE(fs::is_empty(queue));
    EXPECT_FALSE(fs::exists(fs::symlink_status(queue.parent_path() / "davaror.queueFolder")));
    EXPECT_EQ(testsupport::entryNames(outside.path()), std::set<std::string>{"event"});
    EXPECT_EQ(testsupport::readFile(outside.path() / "event"), outsideEvent);
}

// A forked child has the parent's client without its threads: there the client refuses with a
// log line instead of waiting on them, and a client the child sets up for itself delivers, on a
// main queue started again for the child. The parent's client goes on as before. (The child
// brings its own server: a forked child has only the forking thread.)
TEST_F(SDKTest, AForkedChildSetsUpItsOwnClientAndLeavesTheParentsAlone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a forked child of a process with threads that starts one";
#endif
    client->setup(config);
    client->capture("before the fork");
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 1; }));
    int status = -1;
    // Forked from a thread besides the main one, as the emulator can start threads only in such
    // a child.
    std::thread forking([&] {
        status = runInForkedChild(
            [&] {
                client->capture("parent's client in the child");
                if (!log.contains(
                        "[DavaRor] DavaRor was set up before this process was forked from "
                        "its parent, whose threads run it: call setup again in this "
                        "process. Call will be ignored.")) {
                    _exit(3);
                }
                testsupport::TemporaryDirectory childData;
                setenv("XDG_DATA_HOME", childData.path().c_str(), 1);
                testsupport::LoopbackHttpServer childServer;
                auto childConfig = testsupport::quietConfig("key", childServer.baseUrl());
                childConfig->captureApplicationLifecycleEvents = false;
                client->setup(childConfig);
                client->capture("child's own");
                client->flush();
                const bool delivered =
                    childServer.waitForRequests(1) &&
                    platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; });
                client->close();
                _exit(delivered ? 0 : 4);
            },
            60);
    });
    forking.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    client->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    const auto batches = receivedBatches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0]["batch"].size(), 1u);
    EXPECT_EQ(batches[0]["batch"][0]["event"], "before the fork");
}
