// Feature flags and the remote configuration document: request bodies,
// addresses and what each kind of reply gives the caller.
#include "DavaRor/delivery/DavaRorApi.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "DavaRor/delivery/DavaRorApiError.h"
#include "DavaRor/delivery/DavaRorTimeZone.h"
#include "platform/core/LogSink.h"
#include "support/LoopbackHttpServer.h"

#include "ApiTestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using nlohmann::json;
using platform::http::HttpErrorCode;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

class DavaRorApiJsonRequestsTest : public ::testing::Test {
protected:
    void SetUp() override { davaRorLogEnabled = true; }
    void TearDown() override { davaRorLogEnabled = false; }

    std::shared_ptr<DavaRorConfig> configFor(const std::string& host) {
        return std::make_shared<DavaRorConfig>("project-key", host);
    }

    JsonResult flagsReplying(ScriptedReply reply) {
        server.enqueue(std::move(reply));
        JsonRecorder done;
        DavaRorApi(configFor(server.baseUrl()))
            .flags("user", std::nullopt, json::object(), json::object(), std::nullopt,
                   done.completion());
        EXPECT_EQ(done.callsAfterSettling(), 1);
        return done.result();
    }

    LoopbackHttpServer server;
    platform::log::ScopedCapture log;
};

TEST_F(DavaRorApiJsonRequestsTest, MinimalFlagsRequestCarriesExactlyTheFourFixedKeys) {
    JsonRecorder done;
    DavaRorApi(configFor(server.baseUrl() + "/ingest/"))
        .flags("user-1", std::nullopt, json::object(), json::object(), std::nullopt,
               done.completion());
    ASSERT_TRUE(done.wait());
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/ingest/flags?v=2");
    EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(request.header("Content-Encoding"), std::nullopt);
    const json body = json::parse(request.body);
    EXPECT_EQ(keysOf(body),
              (std::set<std::string>{"api_key", "distinct_id", "groups", "timezone"}));
    EXPECT_EQ(body["api_key"], "project-key");
    EXPECT_EQ(body["distinct_id"], "user-1");
    EXPECT_EQ(body["groups"], json::object());
    EXPECT_EQ(body["timezone"], currentTimeZoneIdentifier());
}

TEST_F(DavaRorApiJsonRequestsTest, OptionalFlagsKeysAppearOnlyWhenGiven) {
    auto config = configFor(server.baseUrl());
    config->evaluationContexts = std::vector<std::string>{"web", "ios"};
    JsonRecorder done;
    DavaRorApi(config).flags("user-1", "anon-1", {{"company", "acme"}}, {{"plan", "pro"}},
                             json{{"company", {{"size", 10}}}}, done.completion());
    ASSERT_TRUE(done.wait());
    const json body = json::parse(server.requests().at(0).body);
    EXPECT_EQ(body["$anon_distinct_id"], "anon-1");
    EXPECT_EQ(body["groups"], (json{{"company", "acme"}}));
    EXPECT_EQ(body["person_properties"], (json{{"plan", "pro"}}));
    EXPECT_EQ(body["group_properties"], (json{{"company", {{"size", 10}}}}));
    EXPECT_EQ(body["evaluation_contexts"], (json{"web", "ios"}));

    config->evaluationContexts = std::vector<std::string>{};
    JsonRecorder empty;
    DavaRorApi(config).flags("user-1", std::nullopt, json::object(), json::object(), json::object(),
                             empty.completion());
    ASSERT_TRUE(empty.wait());
    EXPECT_EQ(keysOf(json::parse(server.requests().at(1).body)),
              (std::set<std::string>{"api_key", "distinct_id", "groups", "timezone"}));
}

TEST_F(DavaRorApiJsonRequestsTest, SuccessfulReplyGivesItsObject) {
    const auto result = flagsReplying(ScriptedReply::respond(200, R"({"flags":{"a":true}})"));
    EXPECT_EQ(result.object, (json{{"flags", {{"a", true}}}}));
    EXPECT_FALSE(result.error);
    EXPECT_TRUE(log.contains("[DavaRor] Flags called successfully."));
}

TEST_F(DavaRorApiJsonRequestsTest, SuccessfulReplyThatIsNoObjectGivesNothingAndNoError) {
    for (const char* body : {"[1,2]", "null", "3"}) {
        const auto result = flagsReplying(ScriptedReply::respond(200, body));
        EXPECT_FALSE(result.object) << body;
        EXPECT_FALSE(result.error) << body;
    }
}

TEST_F(DavaRorApiJsonRequestsTest, InvalidJsonGivesTheDecodingError) {
    const auto result = flagsReplying(ScriptedReply::respond(200, "{not json"));
    EXPECT_FALSE(result.object);
    EXPECT_TRUE(errorAs<nlohmann::json::parse_error>(result.error));
    EXPECT_EQ(log.count("[DavaRor] Error parsing the flags response: "), 1u);
}

TEST_F(DavaRorApiJsonRequestsTest, FailingStatusWithBodyGivesAnInternalError) {
    const auto result = flagsReplying(ScriptedReply::respond(503, R"({"detail":"busy"})"));
    EXPECT_FALSE(result.object);
    const auto error = errorAs<InternalDavaRorError>(result.error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description().starts_with(
        R"(Error calling flags API: status: 503, body: {"detail":"busy"}. ()"))
        << error->description();
    EXPECT_TRUE(log.contains(
        R"([DavaRor] Error calling flags API: status: 503, body: {"detail":"busy"}.)"));
}

// The empty-body check comes before the status check.
TEST_F(DavaRorApiJsonRequestsTest, ReplyWithoutBodyGivesNothingWhateverItsStatus) {
    for (const int status : {200, 503}) {
        const auto result = flagsReplying(ScriptedReply::respond(status));
        EXPECT_FALSE(result.object);
        EXPECT_FALSE(result.error);
    }
    EXPECT_EQ(log.count("[DavaRor] Error parsing the flags response: no data"), 2u);
}

TEST_F(DavaRorApiJsonRequestsTest, TransportErrorIsPassedOn) {
    JsonRecorder done;
    DavaRorApi(configFor("http://127.0.0.1:" + std::to_string(closedPort())))
        .remoteConfig(done.completion());
    EXPECT_EQ(done.callsAfterSettling(), 1);
    const auto error = errorAs<DavaRorTransportError>(done.result().error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), HttpErrorCode::cannotConnectToHost);
    EXPECT_EQ(log.count("[DavaRor] Error calling the remote config API: "), 1u);
}

TEST_F(DavaRorApiJsonRequestsTest, RemoteConfigOfAnOtherHostComesFromThatHost) {
    server.enqueue(ScriptedReply::respond(200, R"({"sessionRecording":false})"));
    JsonRecorder done;
    DavaRorApi(configFor(server.baseUrl() + "/proxy/")).remoteConfig(done.completion());
    ASSERT_TRUE(done.wait());
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/proxy/array/project-key/config");
    EXPECT_EQ(request.body, "");
    EXPECT_EQ(request.header("User-Agent"), "davaror-ios/3.50.0");
    EXPECT_EQ(done.result().object, (json{{"sessionRecording", false}}));
    EXPECT_TRUE(log.contains("[DavaRor] Remote config called successfully."));
}

// The regional addresses are not reachable from tests, so a proxy receives the
// tunnel request and shows which host the client asked for; refusing the
// tunnel ends the request with a transport error.
TEST_F(DavaRorApiJsonRequestsTest, RegionalIngestionHostsFetchFromTheirAssetsHosts) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {DavaRorApi::usIngestionHost, "assets-us.davaror.invalid:443"},
        {DavaRorApi::euIngestionHost, "assets-eu.davaror.invalid:443"},
        {std::string(DavaRorApi::usIngestionHost) + "/", "us.i.davaror.invalid:443"},
    };
    server.setDefaultReply(ScriptedReply::respond(403));
    for (size_t i = 0; i < cases.size(); ++i) {
        auto config = configFor(cases[i].first);
        platform::http::TransportConfiguration viaProxy;
        viaProxy.proxy = server.baseUrl();
        config->urlSessionConfiguration = viaProxy;
        JsonRecorder done;
        DavaRorApi(config).remoteConfig(done.completion());
        EXPECT_EQ(done.callsAfterSettling(), 1);
        EXPECT_TRUE(errorAs<DavaRorTransportError>(done.result().error));
        const auto request = server.requests().at(i);
        EXPECT_EQ(request.method, "CONNECT");
        EXPECT_EQ(request.target, cases[i].second) << cases[i].first;
    }
}

// The remote configuration waits for this completion before it fetches again.
TEST_F(DavaRorApiJsonRequestsTest, RemoteConfigWithoutARequestStillCompletesOnce) {
    JsonRecorder done;
    DavaRorApi(configFor("https://not a host")).remoteConfig(done.completion());
    EXPECT_EQ(done.callsAfterSettling(), 1);
    EXPECT_EQ(done.thread(), std::this_thread::get_id());
    EXPECT_FALSE(done.result().object);
    const auto error = errorAs<InternalDavaRorError>(done.result().error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description().starts_with(
        "Error calling the remote config API: unable to create request ("));
    EXPECT_TRUE(
        log.contains("[DavaRor] Error calling the remote config API: unable to create request"));
}

} // namespace
