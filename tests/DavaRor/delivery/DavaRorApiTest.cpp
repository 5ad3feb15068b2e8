// The API client against a scripted loopback server: what goes on the wire for
// each request, and what every kind of reply turns into.
#include "DavaRor/delivery/DavaRorApi.h"

#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorApiError.h"

#include "ApiTestSupport.h"
#include "support/Gunzip.h"

#include <gtest/gtest.h>

#include <regex>

using davaror::TimeBasedEpochGenerator;

using davaror::apiDateFormatter;

namespace {

using nlohmann::json;
using platform::http::HttpErrorCode;
using testsupport::RecordedRequest;
using testsupport::ScriptedReply;

DavaRorEvent makeEvent(const std::string& name, std::optional<std::string> apiKey = {}) {
    return DavaRorEvent(name, "user-1", {{"n", name}}, std::chrono::system_clock::now(),
                        TimeBasedEpochGenerator::shared().v7(), std::move(apiKey));
}

class DavaRorApiTest : public ApiTest {
protected:
    RecordedRequest onlyRequest() {
        EXPECT_TRUE(server.waitForRequests(1));
        const auto requests = server.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest{} : requests.front();
    }
};

TEST_F(DavaRorApiTest, BatchOfThreeEventsReachesIngestBatchCompressedAndInOrder) {
    DavaRorApi api(configFor(server.baseUrl() + "/ingest/"));
    const std::vector<DavaRorEvent> events = {makeEvent("one"), makeEvent("two", "other-key"),
                                              makeEvent("three")};
    BatchRecorder done;
    const auto before = std::chrono::system_clock::now();
    api.batch(events, done.completion());
    ASSERT_TRUE(done.wait());

    const auto request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/ingest/batch");
    EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(request.header("User-Agent"), "davaror-ios/3.50.0");
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_EQ(request.header("Accept-Encoding"), "gzip");

    const json body = json::parse(gunzip(request.body));
    EXPECT_EQ(keysOf(body), (std::set<std::string>{"api_key", "batch", "sent_at"}));
    EXPECT_EQ(body["api_key"], "project-key");
    ASSERT_EQ(body["batch"].size(), 3u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(body["batch"][i], events[i].toJSON());
    }
    EXPECT_EQ(body["batch"][1]["api_key"], "other-key") << "an event's own key is left alone";
    EXPECT_FALSE(body["batch"][0].contains("api_key"));
    const std::string sentAt = body["sent_at"];
    EXPECT_TRUE(std::regex_match(sentAt, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_GE(*apiDateFormatter.date(sentAt),
              std::chrono::floor<std::chrono::milliseconds>(before));

    EXPECT_EQ(done.result().statusCode, 200);
    EXPECT_FALSE(done.result().error);
    EXPECT_NE(done.thread(), std::this_thread::get_id());
    EXPECT_EQ(done.callsAfterSettling(), 1);
    EXPECT_TRUE(log.contains("[DavaRor] Events sent successfully."));
}

TEST_F(DavaRorApiTest, EndpointPathsJoinTheHostPathWithSingleSlashes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "/batch"},
        {"/", "/batch"},
        {"/ingest", "/ingest/batch"},
        {"/ingest/", "/ingest/batch"},
        {"//ingest//v1//", "/ingest/v1/batch"}};
    for (const auto& [hostPath, expected] : cases) {
        BatchRecorder done;
        DavaRorApi(configFor(server.baseUrl() + hostPath)).batch({}, done.completion());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(server.requests().back().target, expected) << hostPath;
        EXPECT_EQ(json::parse(gunzip(server.requests().back().body))["batch"], json::array())
            << "an empty batch is still sent";
    }
}

TEST_F(DavaRorApiTest, SnapshotSendsABareArrayWithTheConfiguredKeyOnEveryEvent) {
    auto config = configFor(server.baseUrl() + "/ingest/");
    BatchRecorder done;
    DavaRorApi api(config);
    api.snapshot({makeEvent("$snapshot", "other-key"), makeEvent("$snapshot")}, done.completion());
    ASSERT_TRUE(done.wait());
    const auto request = onlyRequest();
    EXPECT_EQ(request.target, "/ingest/s/");
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    const json body = json::parse(gunzip(request.body));
    ASSERT_TRUE(body.is_array());
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[0]["api_key"], "project-key");
    EXPECT_EQ(body[1]["api_key"], "project-key");
    EXPECT_TRUE(log.contains("[DavaRor] Snapshots sent successfully."));

    config->setSnapshotEndpoint("s");
    BatchRecorder second;
    api.snapshot({}, second.completion());
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(server.requests().back().target, "/ingest/s");
    EXPECT_EQ(gunzip(server.requests().back().body), "[]");
}

// Only final statuses: in HTTP/1.1 a 1xx status announces another response.
TEST_F(DavaRorApiTest, EveryStatusIsReportedAsItCameWithoutError) {
    const std::pair<ScriptedReply, const char*> cases[] = {
        {ScriptedReply::respond(204), "[DavaRor] Events sent successfully."},
        {ScriptedReply::respond(200, "not json"), "[DavaRor] Events sent successfully."},
        {ScriptedReply::respond(302),
         "[DavaRor] Error sending events to batch API: status: 302, body: nil."},
        {ScriptedReply::respond(400, R"({"type":"validation_error"})"),
         R"([DavaRor] Error sending events to batch API: status: 400, body: {"type":"validation_error"}.)"},
        {ScriptedReply::respond(500, "[1,2]"),
         "[DavaRor] Error sending events to batch API: status: 500, body: nil."},
        {ScriptedReply::respond(503, "{broken"),
         "[DavaRor] Error sending events to batch API: status: 503, body: nil."},
    };
    DavaRorApi api(configFor(server.baseUrl()));
    for (const auto& [reply, expectedLog] : cases) {
        server.enqueue(reply);
        BatchRecorder done;
        api.batch({makeEvent("e")}, done.completion());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.result().statusCode, reply.status);
        EXPECT_FALSE(done.result().error);
        EXPECT_TRUE(log.contains(expectedLog)) << expectedLog;
        EXPECT_EQ(done.callsAfterSettling(), 1);
    }
}

TEST_F(DavaRorApiTest, TransportFailuresReportNoStatusAndTheError) {
    server.enqueue(ScriptedReply::closeWithoutReply());
    const auto refusedHost = "http://127.0.0.1:" + std::to_string(testsupport::closedPort());
    const struct {
        std::string host;
        bool snapshot;
        HttpErrorCode code;
        const char* log;
    } cases[] = {
        {refusedHost, false, HttpErrorCode::cannotConnectToHost,
         "[DavaRor] Error calling the batch API: "},
        {server.baseUrl(), true, HttpErrorCode::networkConnectionLost,
         "[DavaRor] Error calling the snapshot API: "},
    };
    for (const auto& c : cases) {
        BatchRecorder done;
        DavaRorApi api(configFor(c.host));
        c.snapshot ? api.snapshot({makeEvent("e")}, done.completion())
                   : api.batch({makeEvent("e")}, done.completion());
        ASSERT_TRUE(done.wait());
        EXPECT_FALSE(done.result().statusCode);
        const auto error = errorAs<DavaRorTransportError>(done.result().error);
        ASSERT_TRUE(error) << c.log;
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(log.count(c.log), 1u);
        EXPECT_EQ(done.callsAfterSettling(), 1);
    }
}

// A reply is never taken into memory past the limit, but an upload's verdict
// is its status, which stands.
TEST_F(DavaRorApiTest, UploadRepliesPastTheJsonLimitKeepTheirStatus) {
    ScriptedReply tooLong =
        ScriptedReply::respond(200, std::string(maxUntrustedJsonBytes + 1, ' '));
    ScriptedReply bomb = ScriptedReply::respond(
        500, gzipOneShot(std::string(4 * maxUntrustedJsonBytes, '0'), Z_BEST_COMPRESSION));
    bomb.headers = {{"Content-Encoding", "gzip"}};
    DavaRorApi api(configFor(server.baseUrl()));
    const struct {
        ScriptedReply reply;
        bool snapshot;
        int status;
    } cases[] = {{tooLong, false, 200}, {tooLong, true, 200}, {bomb, false, 500}};
    for (const auto& c : cases) {
        server.enqueue(c.reply);
        BatchRecorder done;
        c.snapshot ? api.snapshot({makeEvent("e")}, done.completion())
                   : api.batch({makeEvent("e")}, done.completion());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(done.result().statusCode, c.status);
        EXPECT_FALSE(done.result().error);
    }
    EXPECT_EQ(log.count("[DavaRor] Events sent successfully."), 1u);
    EXPECT_EQ(log.count("[DavaRor] Snapshots sent successfully."), 1u);
    EXPECT_EQ(log.count("[DavaRor] Error sending events to batch API: status: 500, body: nil."),
              1u);
}

// The one slow test: it proves the ten-second limit of every request.
TEST_F(DavaRorApiTest, SilentServerTimesOutAfterTenSeconds) {
    server.enqueue(ScriptedReply::hang());
    BatchRecorder done;
    const auto started = std::chrono::steady_clock::now();
    DavaRorApi(configFor(server.baseUrl())).batch({makeEvent("e")}, done.completion());
    ASSERT_TRUE(done.wait(std::chrono::seconds(30)));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(9));
    EXPECT_FALSE(done.result().statusCode);
    ASSERT_TRUE(errorAs<DavaRorTransportError>(done.result().error));
    EXPECT_EQ(errorAs<DavaRorTransportError>(done.result().error)->code(), HttpErrorCode::timedOut);
    EXPECT_EQ(done.callsAfterSettling(), 1);
}

TEST_F(DavaRorApiTest, AddressThatCannotBeBuiltCompletesAtOnceOnTheCallersThread) {
    DavaRorApi api(configFor("http://bad host.example"));
    BatchRecorder batch;
    api.batch({makeEvent("e")}, batch.completion());
    EXPECT_EQ(batch.callsAfterSettling(), 1);
    EXPECT_EQ(batch.thread(), std::this_thread::get_id());
    EXPECT_FALSE(batch.result().statusCode);
    EXPECT_FALSE(batch.result().error);
    BatchRecorder snapshot;
    api.snapshot({makeEvent("e")}, snapshot.completion());
    EXPECT_EQ(snapshot.callsAfterSettling(), 1);
    JsonRecorder flags;
    api.flags("user", std::nullopt, json::object(), json::object(), std::nullopt,
              flags.completion());
    EXPECT_EQ(flags.callsAfterSettling(), 1);
    EXPECT_FALSE(flags.result().object);
    EXPECT_TRUE(log.contains("[DavaRor] Malformed batch URL error."));
    EXPECT_TRUE(log.contains("[DavaRor] Malformed snapshot URL error."));
    EXPECT_TRUE(log.contains("[DavaRor] Malformed flags URL error."));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DavaRorApiTest, UnserialisableBodyIsNeverSent) {
    DavaRorApi api(configFor(server.baseUrl()));
    auto event = makeEvent("e");
    event.properties["bad"] = "\xff\xfe";
    BatchRecorder done;
    api.batch({event}, done.completion());
    EXPECT_EQ(done.callsAfterSettling(), 1);
    EXPECT_EQ(done.thread(), std::this_thread::get_id());
    EXPECT_FALSE(done.result().statusCode);
    EXPECT_TRUE(log.contains("[DavaRor] Error parsing the batch body"));
    JsonRecorder flags;
    api.flags("user", std::nullopt, json::object(), {{"name", "\xff"}}, std::nullopt,
              flags.completion());
    EXPECT_EQ(flags.callsAfterSettling(), 1);
    EXPECT_TRUE(log.contains("[DavaRor] Error parsing the flags body"));
    EXPECT_TRUE(server.requests().empty());
}

// A configuration the application supplies keeps its settings (here a proxy)
// but not its headers, and is never changed: the compression headers of a
// batch must not turn up on the flags request that follows.
TEST_F(DavaRorApiTest, SuppliedTransportConfigurationIsCopiedPerRequest) {
    auto config = configFor("http://ingest.davaror.invalid");
    platform::http::TransportConfiguration supplied;
    supplied.additionalHeaders = {{"X-Custom", "1"}, {"User-Agent", "theirs"}};
    supplied.proxy = server.baseUrl();
    config->urlSessionConfiguration = supplied;
    DavaRorApi api(config);

    BatchRecorder batch;
    api.batch({makeEvent("e")}, batch.completion());
    ASSERT_TRUE(batch.wait());
    JsonRecorder flags;
    api.flags("user", std::nullopt, json::object(), json::object(), std::nullopt,
              flags.completion());
    ASSERT_TRUE(flags.wait());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "http://ingest.davaror.invalid/batch");
    EXPECT_EQ(requests[0].header("X-Custom"), std::nullopt);
    EXPECT_EQ(requests[0].header("User-Agent"), "davaror-ios/3.50.0");
    EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[1].target, "http://ingest.davaror.invalid/flags?v=2");
    EXPECT_EQ(requests[1].header("Content-Encoding"), std::nullopt);
    EXPECT_EQ(requests[1].header("Accept-Encoding"), std::nullopt);
    EXPECT_EQ(requests[1].header("X-Custom"), std::nullopt);
    EXPECT_EQ(config->urlSessionConfiguration->additionalHeaders, supplied.additionalHeaders);
}

} // namespace
