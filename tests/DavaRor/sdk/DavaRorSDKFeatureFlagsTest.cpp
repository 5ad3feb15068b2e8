// The client's feature-flag operations over its remote configuration: called
// flags become events, reset starts over, and the remote configuration never
// keeps the client alive.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "platform/core/LogSink.h"
#include "platform/core/PumpUntil.h"
#include "support/HeapInUse.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace std::chrono_literals;
using nlohmann::json;
using Key = DavaRorStorage::StorageKey;

namespace {

class SDKFeatureFlagsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", data.path().c_str(), 1);
        davaRorLogEnabled = true;
        config->disableReachabilityForTesting = true;
        config->disableQueueTimerForTesting = true;
        config->disableRemoteConfigForTesting = true;
        token = client->onEventCaptured.subscribe([this](const DavaRorEvent& event) {
            std::lock_guard lock(mutex);
            captured.push_back(event);
        });
    }
    void TearDown() override {
        if (client) {
            client->close();
        }
        davaRorLogEnabled = false;
    }

    // Reloads through the client and waits for the answer.
    void reloadAndWait() {
        std::atomic<bool> done = false;
        client->reloadFeatureFlags([&](const std::optional<json>&) { done = true; });
        ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return done.load(); }));
    }

    std::vector<json> calledEvents() {
        std::lock_guard lock(mutex);
        std::vector<json> properties;
        for (const auto& event : captured) {
            if (event.event == "$feature_flag_called") {
                properties.push_back(event.properties);
            }
        }
        return properties;
    }

    DavaRorStorage storage() const { return DavaRorStorage("key", data.path() / "davaror"); }

    platform::log::ScopedCapture log;
    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory data;
    std::shared_ptr<DavaRorConfig> config =
        std::make_shared<DavaRorConfig>("key", server.baseUrl());
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
    std::mutex mutex;
    std::vector<DavaRorEvent> captured;
    RegistrationToken token;
};

} // namespace

TEST_F(SDKFeatureFlagsTest, CalledFlagsAreCapturedOncePerValueUntilReset) {
    server.setDefaultReply("/flags",
                           testsupport::ScriptedReply::respond(
                               200, json({{"flags",
                                           {{"beta",
                                             {{"enabled", true},
                                              {"variant", "b"},
                                              {"metadata", {{"id", 3}, {"version", 2}}},
                                              {"reason", {{"description", "matched"}}}}}}},
                                          {"requestId", "req"},
                                          {"evaluatedAt", 99}})
                                        .dump()));
    client->setup(config);
    reloadAndWait();
    const json sent = json::parse(server.requests().at(0).body);
    EXPECT_EQ(sent.at("person_properties").at("$lib"), "davaror-ios")
        << "the client's default person properties";

    EXPECT_EQ(client->getFeatureFlag("beta"), json("b"));
    EXPECT_TRUE(client->isFeatureEnabled("beta"));
    EXPECT_FALSE(client->isFeatureEnabled("missing"));
    EXPECT_EQ(client->getFeatureFlagPayload("beta"), std::nullopt);
    auto events = calledEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].at("$feature_flag"), "beta");
    EXPECT_EQ(events[0].at("$feature_flag_response"), "b");
    EXPECT_EQ(events[0].at("$feature_flag_request_id"), "req");
    EXPECT_EQ(events[0].at("$feature_flag_evaluated_at"), 99);
    EXPECT_EQ(events[0].at("$feature_flag_id"), 3);
    EXPECT_EQ(events[0].at("$feature_flag_version"), 2);
    EXPECT_EQ(events[0].at("$feature_flag_reason"), "matched");
    EXPECT_EQ(events[1].at("$feature_flag"), "missing");
    EXPECT_EQ(events[1].at("$feature_flag_response"), nullptr);

    client->reset();
    EXPECT_EQ(storage().getJson(Key::enabledFeatureFlags), json::object());
    ASSERT_TRUE(server.waitForRequests(2)) << "reset reloads the flags";
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] {
        return client->remoteConfig()->getFeatureFlags() == json({{"beta", "b"}});
    }));
    EXPECT_TRUE(client->isFeatureEnabled("beta"));
    EXPECT_EQ(calledEvents().size(), 3u) << "reported again after the reset";
}

// Every new value is reported, but what is kept to recognise it again must not
// grow with the value: here 1 MiB per reload.
TEST_F(SDKFeatureFlagsTest, ReportedFlagCallsKeepNoValues) {
    token.release();
    std::atomic<int> reported = 0;
    auto counting = client->onEventCaptured.subscribe([&](const DavaRorEvent& event) {
        reported += event.event == "$feature_flag_called" ? 1 : 0;
    });
    config->flushAt = 1000; // no upload of the called events runs beside the measurement
    client->setup(config);
    const auto readNewValue = [&](int reload) {
        const json answer = {
            {"featureFlags", {{"big", std::to_string(reload) + std::string(1 << 20, 'v')}}},
            {"featureFlagPayloads", json::object()}};
        server.enqueue("/flags", testsupport::ScriptedReply::respond(200, answer.dump()));
        reloadAndWait();
        ASSERT_TRUE(client->getFeatureFlag("big"));
    };
    for (int reload = 0; reload < 3; ++reload) {
        readNewValue(reload);
    }
    const auto before = static_cast<std::int64_t>(testsupport::heapBytesInUse());
    for (int reload = 3; reload < 15; ++reload) {
        readNewValue(reload);
    }
    const auto grown = static_cast<std::int64_t>(testsupport::heapBytesInUse()) - before;
    EXPECT_LT(grown, 6 << 20) << "12 values of 1 MiB were read";
    EXPECT_EQ(reported, 15);
}

TEST_F(SDKFeatureFlagsTest, StoredReplayFlagIsReadAtSetupWithoutCapturingOrKeepingTheClient) {
    storage().setJson(Key::sessionReplay, {{"linkedFlag", "record"}});
    storage().setJson(Key::enabledFeatureFlags, {{"record", true}});
    client->setup(config);
    auto remote = client->remoteConfig();
    ASSERT_TRUE(remote);
    EXPECT_TRUE(remote->isSessionReplayFlagActive());
    EXPECT_TRUE(calledEvents().empty()) << "the client was not enabled yet";

    const std::weak_ptr<DavaRorSDK> weakClient = client;
    client->close();
    client.reset();
    EXPECT_TRUE(weakClient.expired());
    std::atomic<bool> done = false;
    remote->reloadFeatureFlags([&](const std::optional<json>&) { done = true; });
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return done.load(); }));
    EXPECT_FALSE(json::parse(server.requests().at(0).body).contains("person_properties"))
        << "no defaults once the client is gone";
}

// Stored files are the client's own: one that is a link to a file elsewhere,
// planted before setup, is not read, and the file it names stays as it was.
TEST_F(SDKFeatureFlagsTest, StoredFilesLinkedFromElsewhereAreNotRead) {
    const std::string outside = R"({"beta": true})";
    const auto elsewhere = data.path() / "elsewhere.json";
    std::ofstream(elsewhere) << outside;
    std::filesystem::create_directories(storage().appFolderUrl());
    for (Key key : {Key::enabledFeatureFlags, Key::enabledFeatureFlagPayloads}) {
        std::filesystem::create_symlink(elsewhere, storage().url(key));
    }
    client->setup(config);
    EXPECT_EQ(client->getFeatureFlag("beta"), std::nullopt);
    EXPECT_EQ(client->getFeatureFlagPayload("beta"), std::nullopt);
    EXPECT_FALSE(client->isFeatureEnabled("beta"));
    std::ifstream read(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(read), {}), outside);
}
