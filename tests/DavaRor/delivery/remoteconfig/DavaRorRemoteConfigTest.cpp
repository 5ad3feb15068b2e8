// The remote configuration document: what construction takes from disk, what
// a fetch changes in memory and on disk, and how every fetch ends.
#include "RemoteConfigTestFixture.h"

#include "platform/core/NotificationCenter.h"

namespace {

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST_F(RemoteConfigTest, StoredStateDecidesTheSwitchesWithoutARequestWhenFetchingIsDisabled) {
    config->disableRemoteConfigForTesting = true;
    storage->setJson(Key::errorTracking, {{"autocaptureExceptions", true}});
    storage->setJson(Key::sessionReplay, {{"endpoint", "/replay/"}, {"linkedFlag", "record"}});
    storage->setJson(Key::enabledFeatureFlags, {{"record", "variant-b"}});
    std::vector<std::pair<std::string, std::optional<json>>> called;
    const auto record = [&](const std::string& key, const std::optional<json>& value) {
        called.emplace_back(key, value);
    };

    auto remote = start(record);
    EXPECT_TRUE(remote->isAutocaptureExceptionsEnabled());
    EXPECT_TRUE(remote->isSessionReplayFlagActive()) << "a variant of the linked flag is on";
    EXPECT_EQ(config->snapshotEndpoint(), "/replay/");
    ASSERT_EQ(called.size(), 1u);
    EXPECT_EQ(called[0], std::make_pair(std::string("record"), std::optional(json("variant-b"))));

    config->sendFeatureFlagEvent = false;
    start(record);
    EXPECT_EQ(called.size(), 1u) << "the linked flag is reported only while flag events are sent";
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RemoteConfigTest, ErrorTrackingFormsOfTheDocumentSetTheSwitchAndTheStoredObject) {
    config->preloadFeatureFlags = false;
    const json previous = {{"autocaptureExceptions", true}, {"marker", 1}};
    const json object = {{"autocaptureExceptions", true}};
    const json wrongType = {{"autocaptureExceptions", "true"}};
    struct Case {
        json document;
        bool enabled;
        std::optional<json> storedAfter;
    };
    const std::vector<Case> cases = {
        {{{"errorTracking", object}}, true, object},
        {{{"errorTracking", json::object()}}, false, json::object()},
        {{{"errorTracking", wrongType}}, false, wrongType},
        {{{"errorTracking", true}}, true, previous},
        {{{"errorTracking", false}}, false, std::nullopt},
        {json::object(), false, previous},
        {{{"errorTracking", "yes"}}, false, previous},
        {{{"errorTracking", json::array({object})}}, false, previous},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        storage = std::make_shared<DavaRorStorage>("key", folder.path() / std::to_string(i));
        storage->setJson(Key::errorTracking, previous);
        auto remote = startObserved(answer(cases[i].document));
        EXPECT_TRUE(remote->isAutocaptureExceptionsEnabled()) << "stored switch before the fetch";
        ASSERT_TRUE(documents.waitFor(i + 1));
        EXPECT_EQ(documents.values().back(), cases[i].document);
        EXPECT_EQ(remote->isAutocaptureExceptionsEnabled(), cases[i].enabled) << cases[i].document;
        EXPECT_EQ(stored(Key::errorTracking), cases[i].storedAfter) << cases[i].document;
        EXPECT_EQ(stored(Key::remoteConfig), cases[i].document);
    }
}

TEST_F(RemoteConfigTest, DocumentWithoutFlagsClearsThemAndTellsObservers) {
    storage->setJson(Key::enabledFeatureFlags, {{"old", true}});
    storage->setJson(Key::requestId, "old-request");
    std::atomic<int> notifications = 0;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        "DavaRorDidReceiveFeatureFlags", [&](const platform::Notification&) { ++notifications; });

    auto remote = startObserved(answer({{"hasFeatureFlags", false}}));
    ASSERT_TRUE(flagsLoaded.waitFor(1));
    EXPECT_EQ(flagsLoaded.values(), std::vector<std::optional<json>>{json::object()});
    // The notification follows the flags callback in the same main-queue task.
    EXPECT_TRUE(platform::pumpMainQueueUntil([&] { return notifications.load() == 1; }));
    EXPECT_EQ(stored(Key::enabledFeatureFlags), json::object());
    EXPECT_FALSE(storedFileExists(Key::requestId));
    EXPECT_EQ(remote->lastRequestId(), std::nullopt);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(flagsRequestBodies().empty());
}

TEST_F(RemoteConfigTest, FlagsArePreloadedOnceUnlessTheConfigurationSaysNo) {
    server.setDefaultReply(flagsPath, answer({{"featureFlags", {{"f", true}}},
                                              {"featureFlagPayloads", json::object()}}));
    struct Case {
        json document;
        bool preload;
    };
    const std::vector<Case> cases = {{json::object(), true},
                                     {{{"hasFeatureFlags", true}}, true},
                                     {{{"hasFeatureFlags", "no"}}, true},
                                     {json::object(), false}};
    std::size_t requestsBefore = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        config->preloadFeatureFlags = cases[i].preload;
        const std::size_t loadsBefore = flagsLoaded.size();
        auto remote = startObserved(answer(cases[i].document));
        ASSERT_TRUE(documents.waitFor(i + 1));
        if (cases[i].preload) {
            ASSERT_TRUE(flagsLoaded.waitFor(loadsBefore + 1));
            EXPECT_EQ(flagsLoaded.values().back(), json({{"f", true}}));
        }
        std::this_thread::sleep_for(200ms);
        const std::size_t requests = flagsRequestBodies().size();
        EXPECT_EQ(requests - requestsBefore, cases[i].preload ? 1u : 0u) << cases[i].document;
        requestsBefore = requests;
    }
}

TEST_F(RemoteConfigTest, FailedMalformedOrUnbuildableFetchesEndAndTellTheFlagObservers) {
    const json previous = {{"errorTracking", {{"autocaptureExceptions", true}}}};
    storage->setJson(Key::remoteConfig, previous);
    storage->setJson(Key::errorTracking, previous.at("errorTracking"));
    const std::vector<ScriptedReply> replies = {
        ScriptedReply::respond(500, R"({"errorTracking": false})"),
        ScriptedReply::closeWithoutReply(),
        ScriptedReply::respond(200, R"([{"errorTracking": false}])"),
        ScriptedReply::respond(200, "{\"errorTracking\": \"\xff\"}"),
        ScriptedReply::respond(200, R"({"errorTracking": false, "deep": )" + nested(2000) + "}"),
        ScriptedReply::respond(200, R"({"errorTracking": false, "huge": ")" +
                                        std::string(9 * 1024 * 1024, 'x') + "\"}"),
    };
    for (std::size_t i = 0; i < replies.size(); ++i) {
        auto remote = startObserved(replies[i]);
        ASSERT_TRUE(flagsLoaded.waitFor(i + 1)) << "fetch " << i << " never ended";
        EXPECT_EQ(flagsLoaded.values().back(), std::nullopt);
        EXPECT_TRUE(remote->isAutocaptureExceptionsEnabled());
    }
    // A host no request can be made for ends the same way, without the server.
    std::atomic<int> notifications = 0;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        "DavaRorDidReceiveFeatureFlags", [&](const platform::Notification&) { ++notifications; });
    auto unreachable = std::make_shared<DavaRorConfig>("key", "https://not a host");
    unreachable->storageManager = identity;
    auto remote = DavaRorRemoteConfig::create(
        unreachable, storage, std::make_shared<DavaRorApi>(unreachable), nullptr, nullptr);
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return notifications.load() == 1; }));

    EXPECT_EQ(log.count("[DavaRor] Remote config response is missing, skipping loading flags"),
              replies.size() + 1);
    EXPECT_EQ(documents.size(), 0u);
    EXPECT_EQ(stored(Key::remoteConfig), previous);
    EXPECT_EQ(stored(Key::errorTracking), previous.at("errorTracking"));
    EXPECT_TRUE(flagsRequestBodies().empty());
}

TEST_F(RemoteConfigTest, ClearForgetsServerStateButKeepsTheStoredDocument) {
    config->preloadFeatureFlags = false;
    storage->setJson(Key::sessionReplay, json::object());
    storage->setJson(Key::enabledFeatureFlags, {{"a", true}});
    storage->setJson(Key::requestId, "request");
    storage->setJson(Key::evaluatedAt, 12);
    const json document = {{"errorTracking", {{"autocaptureExceptions", true}}}};
    auto remote = startObserved(answer(document));
    remote->setPersonPropertiesForFlags({{"plan", "pro"}});
    remote->setGroupPropertiesForFlags("company", {{"size", 3}});
    ASSERT_TRUE(documents.waitFor(1));
    ASSERT_TRUE(remote->isAutocaptureExceptionsEnabled());
    ASSERT_TRUE(remote->isSessionReplayFlagActive()) << "no linked flag: recording is on";

    remote->clear();
    EXPECT_FALSE(remote->isAutocaptureExceptionsEnabled());
    EXPECT_FALSE(remote->isSessionReplayFlagActive());
    EXPECT_EQ(remote->getFeatureFlags(), json::object());
    EXPECT_EQ(remote->lastRequestId(), std::nullopt);
    EXPECT_EQ(remote->lastEvaluatedAt(), std::nullopt);
    EXPECT_EQ(stored(Key::remoteConfig), document);
    EXPECT_EQ(stored(Key::errorTracking), document.at("errorTracking"));
    EXPECT_FALSE(storedFileExists(Key::sessionReplay));
    EXPECT_EQ(stored(Key::personPropertiesForFlags), json::object());
    EXPECT_EQ(stored(Key::groupPropertiesForFlags), json::object());
    EXPECT_EQ(stored(Key::flags), json::object());
    EXPECT_EQ(stored(Key::enabledFeatureFlagPayloads), json::object());
    EXPECT_EQ(server.requests().size(), 1u) << "clear starts no fetch";
}
