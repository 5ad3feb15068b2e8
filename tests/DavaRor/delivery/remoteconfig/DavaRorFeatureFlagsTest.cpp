// Feature flags: what an answer leaves in memory and on disk, what a restarted
// client serves from there, and what flag requests carry.
#include "RemoteConfigTestFixture.h"

namespace {

json flatAnswer(const json& values, const json& payloads = json::object()) {
    return {{"featureFlags", values}, {"featureFlagPayloads", payloads}};
}

class FeatureFlagsTest : public RemoteConfigTest {
protected:
    void SetUp() override {
        RemoteConfigTest::SetUp();
        config->disableRemoteConfigForTesting = true;
    }
};

} // namespace

TEST_F(FeatureFlagsTest, NormalisedAnswerIsStoredAndARestartedClientServesIt) {
    const json details = {
        {"a", {{"enabled", true}, {"metadata", {{"payload", R"({"color":"red"})"}, {"id", 7}}}}},
        {"b", {{"enabled", false}, {"variant", nullptr}}},
        {"c", {{"enabled", true}, {"variant", "v"}}},
        {"d", {{"enabled", false}, {"metadata", {{"payload", "\"hidden\""}}}}},
        {"e", 5},
        {"f", {{"enabled", false}, {"variant", "control"}, {"metadata", {{"payload", "[1,2]"}}}}},
        {"g", {{"enabled", "yes"}}},
    };
    server.enqueue(flagsPath, answer({{"flags", details},
                                      {"featureFlags", {{"stale", true}}},
                                      {"requestId", "req-1"},
                                      {"evaluatedAt", 1'700'000'000'123}}));
    const json values = {{"a", true}, {"b", false}, {"c", "v"}, {"d", false}, {"f", "control"}};
    EXPECT_EQ(reload(*start()), values);
    EXPECT_EQ(stored(Key::enabledFeatureFlags), values);
    EXPECT_EQ(stored(Key::enabledFeatureFlagPayloads),
              json({{"a", R"({"color":"red"})"}, {"f", "[1,2]"}}));
    EXPECT_EQ(stored(Key::flags), details);

    auto restarted = DavaRorRemoteConfig::create(
        config, std::make_shared<DavaRorStorage>("key", folder.path()), api, nullptr, nullptr);
    EXPECT_EQ(restarted->getFeatureFlags(), values);
    const auto a = restarted->getFeatureFlagResult("a");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->enabled);
    EXPECT_EQ(a->variant, std::nullopt);
    EXPECT_EQ(a->payload, json({{"color", "red"}}));
    const auto f = restarted->getFeatureFlagResult("f");
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->enabled) << "a variant is on whatever \"enabled\" said";
    EXPECT_EQ(f->variant, "control");
    EXPECT_EQ(f->payload, json::array({1, 2}));
    EXPECT_EQ(restarted->getFeatureFlagDetails("a"), details.at("a"));
    EXPECT_EQ(restarted->lastRequestId(), "req-1");
    EXPECT_EQ(restarted->lastEvaluatedAt(), 1'700'000'000'123);
    EXPECT_EQ(server.requests().size(), 1u) << "the restarted client answered from disk";
}

TEST_F(FeatureFlagsTest, PartialAnswersMergeAndCompleteAnswersReplace) {
    storage->setJson(Key::enabledFeatureFlags, {{"a", true}, {"b", "x"}});
    storage->setJson(Key::enabledFeatureFlagPayloads, {{"a", "1"}});
    storage->setJson(Key::flags, {{"a", {{"enabled", true}}}});
    json partial = flatAnswer({{"b", "y"}}, {{"b", "2"}});
    partial["errorsWhileComputingFlags"] = true;
    partial["requestId"] = "r1";
    server.enqueue(flagsPath, answer(partial));
    // Details replace a flag's payload only where they give it one.
    const json details = {
        {"a", {{"enabled", true}, {"metadata", {{"payload", "9"}}}}},
        {"b", {{"enabled", false}, {"metadata", {{"payload", "x"}}}}},
        {"c", {{"enabled", true}}},
    };
    server.enqueue(flagsPath, answer({{"flags", details}, {"errorsWhileComputingFlags", true}}));
    json complete = flatAnswer({{"b", "y"}});
    complete["errorsWhileComputingFlags"] = "true";
    server.enqueue(flagsPath, answer(complete));
    auto remote = start();

    EXPECT_EQ(reload(*remote), json({{"a", true}, {"b", "y"}}));
    EXPECT_EQ(stored(Key::enabledFeatureFlagPayloads), json({{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(stored(Key::flags), json({{"a", {{"enabled", true}}}})) << "no details sent";

    EXPECT_EQ(reload(*remote), json({{"a", true}, {"b", false}, {"c", true}}));
    EXPECT_EQ(stored(Key::flags), details);
    EXPECT_EQ(stored(Key::enabledFeatureFlagPayloads), json({{"a", "9"}, {"b", "2"}}));

    EXPECT_EQ(reload(*remote), json({{"b", "y"}}));
    EXPECT_EQ(stored(Key::enabledFeatureFlags), json({{"b", "y"}}));
    EXPECT_EQ(stored(Key::enabledFeatureFlagPayloads), json::object());
    EXPECT_EQ(remote->lastRequestId(), "r1") << "an answer without an id keeps the last one";
    EXPECT_EQ(stored(Key::requestId), "r1");
}

TEST_F(FeatureFlagsTest, QuotaLimitedAnswerKeepsThePreviousValues) {
    json limited = flatAnswer({{"z", true}});
    limited["quotaLimited"] = {"recordings", "feature_flags"};
    server.enqueue(flagsPath, answer(limited));
    server.enqueue(flagsPath, answer(limited));
    limited["quotaLimited"] = {"recordings"};
    server.enqueue(flagsPath, answer(limited));
    auto remote = start();

    EXPECT_EQ(reload(*remote), json::object()) << "nothing cached yet";
    EXPECT_FALSE(storedFileExists(Key::enabledFeatureFlags));
    storage->setJson(Key::enabledFeatureFlags, {{"a", true}});
    EXPECT_EQ(remote->getFeatureFlags(), json({{"a", true}}));
    // Changed behind the cache's back: a write by the next answer would show.
    storage->setJson(Key::enabledFeatureFlags, {{"marker", 1}});
    EXPECT_EQ(reload(*remote), json({{"a", true}}));
    EXPECT_EQ(stored(Key::enabledFeatureFlags), json({{"marker", 1}}));
    EXPECT_EQ(log.count("[DavaRor] Warning: Feature flags quota limit reached - flags could not "
                        "be updated. See "),
              2u);

    EXPECT_EQ(reload(*remote), json({{"z", true}})) << "other quotas do not stop flags";
}

TEST_F(FeatureFlagsTest, MalformedAnswersLeaveTheCacheAndReleaseTheRequestSlot) {
    const json cached = {{"a", true}};
    storage->setJson(Key::enabledFeatureFlags, cached);
    const std::vector<ScriptedReply> replies = {
        ScriptedReply::respond(200, "[]"),
        ScriptedReply::respond(200, R"({"featureFlags": [], "featureFlagPayloads": {}})"),
        ScriptedReply::respond(200, R"({"featureFlags": {"a": false}})"),
        ScriptedReply::respond(200, R"({"flags": ["a"], "featureFlagPayloads": {}})"),
        ScriptedReply::respond(200, "{\"featureFlags\": {\"a\": \"\xc3\x28\"}, "
                                    "\"featureFlagPayloads\": {}}"),
        ScriptedReply::respond(200, R"({"featureFlags": {"a": )" + std::string(500, '[') +
                                        std::string(500, ']') + R"(}, "featureFlagPayloads": {}})"),
        ScriptedReply::respond(200, R"({"featureFlags": {"a": ")" +
                                        std::string(9 * 1024 * 1024, 'x') +
                                        R"("}, "featureFlagPayloads": {}})"),
        ScriptedReply::respond(503, R"({"featureFlags": {"a": false}})"),
        ScriptedReply::respond(200, ""),
        ScriptedReply::closeWithoutReply(),
    };
    for (const auto& reply : replies) {
        server.enqueue(flagsPath, reply);
    }
    server.enqueue(flagsPath, answer(flatAnswer({{"a", false}})));
    auto remote = start();
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(reload(*remote), std::nullopt) << "reply " << i;
        EXPECT_EQ(remote->getFeatureFlags(), cached) << "reply " << i;
        EXPECT_EQ(stored(Key::enabledFeatureFlags), cached) << "reply " << i;
    }
    EXPECT_EQ(reload(*remote), json({{"a", false}}));
    EXPECT_EQ(flagsRequestBodies().size(), replies.size() + 1) << "every reload was sent";
    EXPECT_EQ(log.count("[DavaRor] Error: Flags response missing correct featureFlags format"), 3u);
}

TEST_F(FeatureFlagsTest, TricklingAnswerFailsTheReloadAtTheDeadline) {
    api =
        std::make_shared<DavaRorApi>(config, std::make_shared<platform::http::HttpTransport>(), 1s);
    server.enqueue(flagsPath, answer(flatAnswer({{"a", true}})).trickled(40, 500ms));
    auto remote = start();
    EXPECT_EQ(reload(*remote), std::nullopt);
    EXPECT_EQ(remote->getFeatureFlags(), std::nullopt);
}

TEST_F(FeatureFlagsTest, FlagResultsParsePayloadTextsAndUnknownKeysStayUnknown) {
    const json values = {{"v", "variant"}, {"on", true}, {"off", false}, {"odd", 5}};
    const std::string deepText = std::string(200, '[') + std::string(200, ']');
    storage->setJson(Key::enabledFeatureFlags, values);
    storage->setJson(Key::enabledFeatureFlagPayloads,
                     {{"v", "[1,2]"}, {"on", "not json"}, {"off", {{"k", 1}}}, {"odd", deepText}});
    auto remote = start();
    struct Expected {
        std::string key;
        bool enabled;
        std::optional<std::string> variant;
        json payload;
    };
    for (const auto& expected : {Expected{"v", true, "variant", json::array({1, 2})},
                                 Expected{"on", true, std::nullopt, "not json"},
                                 Expected{"off", false, std::nullopt, {{"k", 1}}},
                                 Expected{"odd", false, std::nullopt, deepText}}) {
        const auto result = remote->getFeatureFlagResult(expected.key);
        ASSERT_TRUE(result) << expected.key;
        EXPECT_EQ(result->enabled, expected.enabled) << expected.key;
        EXPECT_EQ(result->variant, expected.variant) << expected.key;
        EXPECT_EQ(result->payload, expected.payload) << expected.key;
    }
    EXPECT_TRUE(log.contains("[DavaRor] Error parsing the object not json: "));

    EXPECT_EQ(remote->getFeatureFlagResult("missing"), std::nullopt);
    EXPECT_EQ(remote->getFeatureFlagDetails("missing"), std::nullopt);
    EXPECT_EQ(remote->getFeatureFlags(), values) << "lookups never add keys";
    EXPECT_EQ(stored(Key::enabledFeatureFlags), values);
}

TEST_F(FeatureFlagsTest, RequestsCarryIdentityGroupsAndPropertiesForFlags) {
    // The closure calls back into the object: a lock held around it would
    // deadlock here.
    std::weak_ptr<DavaRorRemoteConfig> self;
    auto remote = DavaRorRemoteConfig::create(
        config, storage, api,
        [&self] {
            self.lock()->setPersonPropertiesForFlags({{"seen", true}});
            return json{{"plan", "free"}, {"$os", "Linux"}};
        },
        nullptr);
    self = remote;
    remote->setPersonPropertiesForFlags({{"plan", "pro"}});
    remote->setGroupPropertiesForFlags("company", {{"size", 10}});
    remote->setGroupPropertiesForFlags("company", {{"tier", "gold"}});
    remote->setGroupPropertiesForFlags("team", {{"name", "x"}});
    remote->resetGroupPropertiesForFlags("team");
    storage->setJson(Key::groups, {{"company", "acme"}});
    server.setDefaultReply(flagsPath, answer(flatAnswer(json::object())));
    reload(*remote);

    const json company = {{"size", 10}, {"tier", "gold"}};
    auto body = flagsRequestBodies().at(0);
    EXPECT_EQ(body["distinct_id"], identity->getDistinctId());
    EXPECT_EQ(body["$anon_distinct_id"], identity->getAnonymousId());
    EXPECT_EQ(body["groups"], json({{"company", "acme"}}));
    EXPECT_EQ(body["person_properties"], json({{"plan", "pro"}, {"$os", "Linux"}, {"seen", true}}))
        << "stored properties win over defaults";
    EXPECT_EQ(body["group_properties"], json({{"company", company}}));
    EXPECT_EQ(stored(Key::personPropertiesForFlags), json({{"plan", "pro"}, {"seen", true}}));
    EXPECT_EQ(stored(Key::groupPropertiesForFlags), json({{"company", company}}));

    // A new instance takes the stored properties; groups of the wrong shape
    // are left out.
    config->setDefaultPersonProperties = false;
    config->reuseAnonymousId = true;
    storage->setJson(Key::groups, {{"company", 5}});
    reload(*start());
    body = flagsRequestBodies().at(1);
    EXPECT_FALSE(body.contains("$anon_distinct_id"));
    EXPECT_EQ(body["groups"], json::object());
    EXPECT_EQ(body["person_properties"], json({{"plan", "pro"}, {"seen", true}}));
    EXPECT_EQ(body["group_properties"], json({{"company", company}}));

    remote->resetGroupPropertiesForFlags(std::nullopt);
    EXPECT_EQ(stored(Key::groupPropertiesForFlags), json::object());
}

TEST_F(FeatureFlagsTest, ReloadsThatCannotRunSendNothing) {
    auto remote = start();
    remote->canReloadFlagsForTesting = false;
    bool called = false;
    remote->reloadFeatureFlags([&](const std::optional<json>&) { called = true; });
    EXPECT_FALSE(called);

    remote->canReloadFlagsForTesting = true;
    config->storageManager = nullptr;
    std::optional<std::optional<json>> given;
    remote->reloadFeatureFlags([&](const std::optional<json>& flags) { given = flags; });
    ASSERT_TRUE(given) << "called at once";
    EXPECT_EQ(*given, std::nullopt);
    EXPECT_TRUE(log.contains(
        "[DavaRor] No DavaRorStorageManager found in config, skipping loading feature flags"));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(server.requests().empty());
}
