// One flags request in flight at a time: waiting reloads, callbacks that each
// run exactly once, and readers that run alongside the reloads.
#include "RemoteConfigTestFixture.h"

#include <atomic>

namespace {

class FeatureFlagsConcurrencyTest : public RemoteConfigTest {
protected:
    void SetUp() override {
        RemoteConfigTest::SetUp();
        config->disableRemoteConfigForTesting = true;
    }

    static ScriptedReply values(const json& flags) {
        return answer({{"featureFlags", flags}, {"featureFlagPayloads", json::object()}});
    }
};

} // namespace

TEST_F(FeatureFlagsConcurrencyTest, OnlyTheNewestWaitingReloadIsSentAndEveryCallbackRunsOnce) {
    storage->setJson(Key::enabledFeatureFlags, {{"cached", true}});
    auto gate = std::make_shared<testsupport::ReplyGate>();
    server.enqueue(flagsPath, values({{"first", true}}).heldBy(gate));
    server.enqueue(flagsPath, values({{"third", true}}));
    auto remote = start();
    Received first, second, third;

    identity->setDistinctId("first-user");
    remote->reloadFeatureFlags(first.callback());
    ASSERT_TRUE(server.waitForRequests(1));
    identity->setDistinctId("second-user");
    remote->reloadFeatureFlags(second.callback());
    EXPECT_EQ(second.size(), 0u) << "waits behind the request in flight";
    identity->setDistinctId("third-user");
    remote->reloadFeatureFlags(third.callback());
    EXPECT_EQ(second.values(), std::vector<std::optional<json>>{json({{"cached", true}})})
        << "replaced, so answered at once from the cache";

    gate->open();
    ASSERT_TRUE(first.waitFor(1));
    ASSERT_TRUE(third.waitFor(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(first.values(), std::vector<std::optional<json>>{json({{"first", true}})});
    EXPECT_EQ(second.size(), 1u);
    EXPECT_EQ(third.values(), std::vector<std::optional<json>>{json({{"third", true}})});
    const auto bodies = flagsRequestBodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].at("distinct_id"), "first-user");
    EXPECT_EQ(bodies[1].at("distinct_id"), "third-user");
}

TEST_F(FeatureFlagsConcurrencyTest, ReleasedWhileARequestIsInFlightStillCallsBackOnce) {
    auto gate = std::make_shared<testsupport::ReplyGate>();
    server.enqueue(flagsPath, values({{"late", true}}).heldBy(gate));
    auto remote = start();
    Received done;
    remote->reloadFeatureFlags(done.callback());
    ASSERT_TRUE(server.waitForRequests(1));
    remote.reset();
    gate->open();
    ASSERT_TRUE(done.waitFor(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(done.values(), std::vector<std::optional<json>>{std::nullopt});
    EXPECT_FALSE(storedFileExists(Key::enabledFeatureFlags));
}

TEST_F(FeatureFlagsConcurrencyTest, AWaitingReloadIsAnsweredWhenReleasedBeforeItIsSent) {
    auto gate = std::make_shared<testsupport::ReplyGate>();
    server.enqueue(flagsPath, values({{"late", true}}).heldBy(gate));
    auto remote = start();
    Received inFlight, waiting;
    remote->reloadFeatureFlags(inFlight.callback());
    ASSERT_TRUE(server.waitForRequests(1));
    remote->reloadFeatureFlags(waiting.callback());
    remote.reset();
    ASSERT_TRUE(waiting.waitFor(1));
    EXPECT_EQ(waiting.values(), std::vector<std::optional<json>>{std::nullopt});
    gate->open();
    ASSERT_TRUE(inFlight.waitFor(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(inFlight.values(), std::vector<std::optional<json>>{std::nullopt});
    EXPECT_EQ(waiting.size(), 1u);
    EXPECT_EQ(flagsRequestBodies().size(), 1u) << "the waiting reload is never sent";
}

TEST_F(FeatureFlagsConcurrencyTest, ReadersOnEightThreadsDuring200Reloads) {
    const json flags = {{"beta", true}, {"plan", "gold"}};
    server.setDefaultReply(
        flagsPath,
        answer({{"flags",
                 {{"beta", {{"enabled", true}, {"metadata", {{"payload", "{\"n\":1}"}}}}},
                  {"plan", {{"enabled", true}, {"variant", "gold"}}}}},
                {"requestId", "r"},
                {"evaluatedAt", 5}}));
    auto remote = start();
    std::atomic<bool> stop = false;
    std::atomic<int> inconsistent = 0;
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                const auto values = remote->getFeatureFlags();
                if (values && !values->empty() && *values != flags) {
                    ++inconsistent;
                }
                if (const auto beta = remote->getFeatureFlagResult("beta");
                    beta && beta->payload != json({{"n", 1}})) {
                    ++inconsistent;
                }
                remote->getFeatureFlagDetails("plan");
                remote->lastRequestId();
                remote->lastEvaluatedAt();
                remote->isSessionReplayFlagActive();
                if (i % 64 == 0) {
                    remote->setPersonPropertiesForFlags({{"reader", t}});
                    remote->setGroupPropertiesForFlags("team", {{"reader", t}});
                }
            }
        });
    }
    Received done;
    for (int i = 0; i < 200; ++i) {
        remote->reloadFeatureFlags(done.callback());
    }
    const bool allCalledBack = done.waitFor(200);
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    ASSERT_TRUE(allCalledBack);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(done.size(), 200u);
    for (const auto& value : done.values()) {
        EXPECT_TRUE(!value || *value == flags) << *value;
    }
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(remote->getFeatureFlags(), flags);
    EXPECT_EQ(stored(Key::enabledFeatureFlags), flags);
    EXPECT_EQ(remote->lastRequestId(), "r");
}
