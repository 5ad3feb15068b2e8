// The transport against a real loopback server: what goes on the wire, what
// comes back, and that every request completes exactly once on the worker.
#include "platform/http/HttpTransport.h"

#include "TlsService.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

namespace {

using namespace platform::http;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

// Collects completions and where they ran; counts every call per request tag.
class Completions {
public:
    HttpTransport::Completion forRequest(int tag) {
        return [this, tag](HttpResponse response) {
            std::lock_guard lock(mutex_);
            calls_[tag] += 1;
            responses_[tag] = std::move(response);
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }

    bool waitFor(size_t count, std::chrono::milliseconds timeout = 15s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return threads_.size() >= count; });
    }

    HttpResponse response(int tag) {
        std::lock_guard lock(mutex_);
        return responses_.at(tag);
    }

    int calls(int tag) {
        std::lock_guard lock(mutex_);
        return calls_[tag];
    }

    size_t total() {
        std::lock_guard lock(mutex_);
        return threads_.size();
    }

    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, int> calls_;
    std::map<int, HttpResponse> responses_;
    std::vector<std::thread::id> threads_;
};

HttpRequest postTo(const LoopbackHttpServer& server, const std::string& path, std::string body) {
    HttpRequest request;
    request.method = "POST";
    request.url = server.baseUrl() + path;
    request.headers = {{"Content-Type", "application/json; charset=utf-8"}};
    request.body = std::move(body);
    return request;
}

class HttpTransportTest : public ::testing::Test {
protected:
    HttpResponse sendAndWait(HttpRequest request) {
        transport.send(std::move(request), completions.forRequest(1));
        EXPECT_TRUE(completions.waitFor(1));
        return completions.response(1);
    }

    LoopbackHttpServer server;
    Completions completions;
    HttpTransport transport;
};

TEST(HttpTransportWire, SendsMethodTargetHeadersAndBodyAndReportsTheReply) {
    LoopbackHttpServer server;
    ScriptedReply reply = ScriptedReply::respond(201, R"({"ok":true})");
    reply.headers = {{"X-Reply", "yes"}};
    server.enqueue(reply);
    Completions completions;
    {
        HttpTransport transport;
        auto request = postTo(server, "/ingest/batch?v=2", std::string(5000, 'x'));
        request.headers.emplace_back("User-Agent", "tester/1.0");
        transport.send(request, completions.forRequest(1));
        ASSERT_TRUE(completions.waitFor(1));
    }
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.target, "/ingest/batch?v=2");
    EXPECT_EQ(received.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(received.header("User-Agent"), "tester/1.0");
    EXPECT_EQ(received.header("Expect"), std::nullopt);
    EXPECT_EQ(received.body, std::string(5000, 'x'));

    const auto response = completions.response(1);
    EXPECT_EQ(response.statusCode, 201);
    EXPECT_FALSE(response.error);
    EXPECT_EQ(response.body, R"({"ok":true})");
    EXPECT_EQ(findHeader(response.headers, "x-reply"), "yes");
}

TEST_F(HttpTransportTest, GetCarriesNoBody) {
    HttpRequest request;
    request.url = server.baseUrl() + "/array/key/config";
    const auto response = sendAndWait(request);
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "GET");
    EXPECT_EQ(received.body, "");
    EXPECT_EQ(received.header("Content-Length"), std::nullopt);
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_TRUE(response.body.empty());
}

TEST_F(HttpTransportTest, ChunkedRequestBodyArrivesWhole) {
    auto request = postTo(server, "/chunked", std::string(40000, 'c'));
    request.headers.emplace_back("Transfer-Encoding", "chunked");
    sendAndWait(request);
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(received.body, std::string(40000, 'c'));
    EXPECT_GT(received.raw.size(), received.body.size());
}

TEST_F(HttpTransportTest, GzipReplyIsDecodedWhenGzipIsAccepted) {
    ScriptedReply reply = ScriptedReply::respond(200, gzipOneShot(R"({"flags":{}})"));
    reply.headers = {{"Content-Encoding", "gzip"}};
    server.enqueue(reply);
    auto request = postTo(server, "/batch", "{}");
    request.headers.emplace_back("Accept-Encoding", "gzip");
    EXPECT_EQ(sendAndWait(request).body, R"({"flags":{}})");
    EXPECT_EQ(server.requests().at(0).header("Accept-Encoding"), "gzip");
}

TEST_F(HttpTransportTest, ProxyReceivesTheAbsoluteAddress) {
    HttpRequest request;
    request.url = "http://ingest.davaror.invalid/flags?v=2";
    request.proxy = server.baseUrl();
    EXPECT_EQ(sendAndWait(request).statusCode, 200);
    EXPECT_EQ(server.requests().at(0).target, "http://ingest.davaror.invalid/flags?v=2");
}

// Without a configured proxy the environment's variables decide, as libcurl
// reads them; a configured one wins over them.
TEST(HttpTransportProxy, EnvironmentProxyIsUsedUnlessConfiguredOrExcluded) {
    LoopbackHttpServer environmentProxy, configuredProxy, origin;
    const std::string remote = "http://ingest.davaror.invalid/batch";
    struct Case {
        const char* name;
        std::optional<std::string> noProxy;
        std::optional<std::string> configured;
        std::string url;
        const LoopbackHttpServer* receiver;
        std::string target;
    };
    const Case cases[] = {
        {"environment proxy", std::nullopt, std::nullopt, remote, &environmentProxy, remote},
        {"configured proxy wins", std::nullopt, configuredProxy.baseUrl(), remote, &configuredProxy,
         remote},
        {"no_proxy goes direct", "127.0.0.1", std::nullopt, origin.baseUrl() + "/batch", &origin,
         "/batch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = c.receiver->requests().size();
        testsupport::ScopedEnvironment environment;
        environment.set("http_proxy", environmentProxy.baseUrl());
        environment.set("no_proxy", c.noProxy);
        environment.set("NO_PROXY", std::nullopt);
        Completions completions;
        {
            HttpTransport transport;
            HttpRequest request;
            request.url = c.url;
            request.proxy = c.configured;
            transport.send(request, completions.forRequest(1));
            ASSERT_TRUE(completions.waitFor(1));
        }
        EXPECT_EQ(completions.response(1).statusCode, 200);
        ASSERT_EQ(c.receiver->requests().size(), before + 1);
        EXPECT_EQ(c.receiver->requests().back().target, c.target);
    }
    EXPECT_EQ(environmentProxy.requests().size(), 1u);
}

// The timeout measures idleness: a reply that keeps arriving, in gaps shorter
// than the timeout, completes even when the whole takes longer.
TEST_F(HttpTransportTest, SlowReplyThatKeepsMovingOutlastsTheTimeout) {
    const std::string body(3000, 'b');
    server.enqueue(ScriptedReply::respond(200, body).trickled(5, 400ms));
    auto request = postTo(server, "/batch", std::string(200000, 'u'));
    request.timeout = 1s;
    const auto response = sendAndWait(request);
    EXPECT_FALSE(response.error) << response.error->description;
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, body);
}

// A reply that keeps moving is still cut off at the request's deadline.
TEST_F(HttpTransportTest, TricklingReplyTimesOutAtTheDeadline) {
    server.enqueue(ScriptedReply::respond(200, std::string(40, 'b')).trickled(40, 500ms));
    auto request = postTo(server, "/batch", "{}");
    request.deadline = 1s;
    const auto response = sendAndWait(request);
    ASSERT_TRUE(response.error);
    EXPECT_EQ(response.error->code, HttpErrorCode::timedOut);
    EXPECT_FALSE(response.statusCode);
    EXPECT_FALSE(response.timedOutSendingBody);
}

// A deadline that ends a body still going up says so, for a caller that can
// send less at a time.
TEST_F(HttpTransportTest, ADeadlineThatEndsTheUploadSaysSo) {
    server.setReadRate(20'000);
    auto slowUpload = postTo(server, "/batch", std::string(200'000, 'u'));
    slowUpload.deadline = 1s;
    const auto cutShort = sendAndWait(slowUpload);
    ASSERT_TRUE(cutShort.error);
    EXPECT_EQ(cutShort.error->code, HttpErrorCode::timedOut);
    EXPECT_TRUE(cutShort.timedOutSendingBody);
}

// A body that went up whole to a server that stays silent was not too large.
TEST_F(HttpTransportTest, ASilentServerIsNoSlowUpload) {
    server.enqueue(ScriptedReply::hang());
    auto unanswered = postTo(server, "/batch", "{}");
    unanswered.timeout = 1s;
    const auto silent = sendAndWait(unanswered);
    ASSERT_TRUE(silent.error);
    EXPECT_EQ(silent.error->code, HttpErrorCode::timedOut);
    EXPECT_FALSE(silent.timedOutSendingBody) << silent.error->description;
}

TEST_F(HttpTransportTest, ReplyBodyOverTheLimitEndsTheTransfer) {
    server.enqueue(ScriptedReply::respond(200, std::string(4096, 'x')));
    server.enqueue(ScriptedReply::respond(200, std::string(4097, 'x')));
    auto request = postTo(server, "/flags", "{}");
    request.maxResponseBytes = 4096;
    EXPECT_EQ(sendAndWait(request).body.size(), 4096u) << "exactly the limit is accepted";

    Completions overLimit;
    transport.send(request, overLimit.forRequest(1));
    ASSERT_TRUE(overLimit.waitFor(1));
    const auto response = overLimit.response(1);
    ASSERT_TRUE(response.error);
    EXPECT_EQ(response.error->description, "reply body longer than 4096 bytes");
    EXPECT_FALSE(response.statusCode);
    EXPECT_EQ(overLimit.calls(1), 1);
}

// A body that fails after the reply's head: a request that needs only the
// status gets the head's status and no body, any other request fails. A
// failure after an interim head only fails both.
TEST_F(HttpTransportTest, ABodyThatFailsAfterTheHeadKeepsTheStatusOnlyWhenAskedTo) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"HTTP/1.1 202 OK\r\nContent-Length: 100\r\n\r\nshort", 202},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 8\r\n\r\nnot gzip", 200},
        {"HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 503},
        {"HTTP/1.1 100 Continue\r\n\r\n", std::nullopt},
    };
    for (const auto& [reply, status] : cases) {
        for (auto failure : {ReplyBodyFailure::isDropped, ReplyBodyFailure::failsTheRequest}) {
            SCOPED_TRACE(reply);
            server.enqueue(ScriptedReply::raw(reply));
            auto request = postTo(server, "/batch", "{}");
            request.headers.emplace_back("Accept-Encoding", "gzip");
            request.bodyFailure = failure;
            Completions local;
            transport.send(request, local.forRequest(1));
            ASSERT_TRUE(local.waitFor(1));
            const auto response = local.response(1);
            if (failure == ReplyBodyFailure::isDropped && status) {
                EXPECT_EQ(response.statusCode, status);
                EXPECT_FALSE(response.error);
                EXPECT_TRUE(response.body.empty());
            } else {
                EXPECT_TRUE(response.error);
                EXPECT_FALSE(response.statusCode);
            }
        }
    }
}

TEST_F(HttpTransportTest, FailuresCarryTheirCodeAndNoStatus) {
    server.enqueue(ScriptedReply::closeWithoutReply());
    server.enqueue(ScriptedReply::hang());
    HttpRequest refused, file, ftp;
    refused.url = "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/batch";
    file.url = "file:///etc/hostname";
    ftp.url = "ftp://127.0.0.1/x";
    auto hanging = postTo(server, "/batch", "{}");
    hanging.timeout = 300ms;
    const std::pair<HttpRequest, HttpErrorCode> cases[] = {
        {refused, HttpErrorCode::cannotConnectToHost},
        {postTo(server, "/batch", "{}"), HttpErrorCode::networkConnectionLost},
        {hanging, HttpErrorCode::timedOut},
        // Only HTTP and HTTPS are spoken.
        {file, HttpErrorCode::unsupportedURL},
        {ftp, HttpErrorCode::unsupportedURL},
    };
    for (const auto& [request, code] : cases) {
        Completions local;
        transport.send(request, local.forRequest(1));
        ASSERT_TRUE(local.waitFor(1)) << request.url;
        const auto response = local.response(1);
        ASSERT_TRUE(response.error) << request.url;
        EXPECT_EQ(response.error->code, code) << request.url;
        EXPECT_FALSE(response.error->description.empty());
        EXPECT_FALSE(response.statusCode);
    }
    EXPECT_EQ(server.requests().size(), 2u);
}

// The trusted roots come from SSL_CERT_FILE or SSL_CERT_DIR when set, as the
// system's TLS library takes them: a private root is trusted through either,
// and a certificate no trusted root signed is refused all the same.
TEST(HttpTransportTrust, PrivateRootsFromTheEnvironmentAreTrustedAndNothingElse) {
    const testsupport::TlsCertificates certificates;
    if (!certificates.made()) {
        GTEST_SKIP() << "openssl could not make the certificates";
    }
    const testsupport::TlsService signedService(certificates.signedByRoot(),
                                                certificates.serviceKey());
    const testsupport::TlsService selfSignedService(certificates.selfSigned(),
                                                    certificates.serviceKey());
    ASSERT_TRUE(signedService.baseUrl());
    ASSERT_TRUE(selfSignedService.baseUrl());
    const auto send = [](const std::string& url) {
        Completions completions;
        HttpTransport transport;
        HttpRequest request;
        request.url = url + "/";
        transport.send(request, completions.forRequest(1));
        EXPECT_TRUE(completions.waitFor(1));
        return completions.response(1);
    };
    const struct {
        std::optional<std::string> file, folder;
    } trusts[] = {
        {certificates.privateRoot().string(), std::nullopt},
        {std::nullopt, certificates.rootFolder().string()},
    };
    for (const auto& trust : trusts) {
        testsupport::ScopedEnvironment environment;
        environment.set("SSL_CERT_FILE", trust.file);
        environment.set("SSL_CERT_DIR", trust.folder);
        const auto delivered = send(*signedService.baseUrl());
        EXPECT_EQ(delivered.statusCode, 200) << trust.file.value_or(trust.folder.value_or(""));
        EXPECT_FALSE(delivered.error);
        const auto refused = send(*selfSignedService.baseUrl());
        EXPECT_FALSE(refused.statusCode);
        ASSERT_TRUE(refused.error);
        EXPECT_EQ(refused.error->code, HttpErrorCode::other);
    }
    // Without them only the system's roots count, and they hold neither.
    testsupport::ScopedEnvironment environment;
    environment.set("SSL_CERT_FILE", std::nullopt);
    environment.set("SSL_CERT_DIR", std::nullopt);
    EXPECT_TRUE(send(*signedService.baseUrl()).error);
}

TEST(HttpTransportCompletion, EveryRequestCompletesOnceAndNeverOnTheCallersThread) {
    LoopbackHttpServer server;
    server.enqueue(ScriptedReply::respond(500, "boom").after(50ms));
    server.enqueue(ScriptedReply::closeWithoutReply());
    server.setDefaultReply(ScriptedReply::respond(204));
    Completions completions;
    HttpTransport transport;
    constexpr int requestCount = 24;
    for (int tag = 0; tag < requestCount; ++tag) {
        transport.send(postTo(server, "/batch", std::to_string(tag)), completions.forRequest(tag));
    }
    ASSERT_TRUE(completions.waitFor(requestCount));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(completions.total(), static_cast<size_t>(requestCount));
    for (int tag = 0; tag < requestCount; ++tag) {
        EXPECT_EQ(completions.calls(tag), 1) << tag;
    }
    const auto threads = completions.threads();
    for (const auto& thread : threads) {
        EXPECT_NE(thread, std::this_thread::get_id());
        EXPECT_EQ(thread, threads.front()) << "completions run on the one worker";
    }
}

// A request sent from a cancelled request's completion is cancelled too.
TEST(HttpTransportCompletion, DestroyingTheTransportCancelsInFlightRequestsOnce) {
    LoopbackHttpServer server;
    server.setDefaultReply(ScriptedReply::hang());
    Completions completions;
    {
        HttpTransport transport;
        transport.send(postTo(server, "/batch", "{}"), [&, first = completions.forRequest(0)](
                                                           HttpResponse response) {
            transport.send(postTo(server, "/again", "{}"), completions.forRequest(3));
            first(std::move(response));
        });
        for (int tag = 1; tag < 3; ++tag) {
            transport.send(postTo(server, "/batch", "{}"), completions.forRequest(tag));
        }
        ASSERT_TRUE(server.waitForRequests(3));
    }
    ASSERT_EQ(completions.total(), 4u);
    for (int tag = 0; tag < 4; ++tag) {
        EXPECT_EQ(completions.calls(tag), 1);
        ASSERT_TRUE(completions.response(tag).error);
        EXPECT_EQ(completions.response(tag).error->code, HttpErrorCode::cancelled);
    }
}

TEST(HttpTransportCompletion, TransportMayBeReleasedFromItsOwnCompletion) {
    LoopbackHttpServer server;
    Completions completions;
    auto transport = std::make_shared<HttpTransport>();
    std::weak_ptr<HttpTransport> watched = transport;
    auto done = completions.forRequest(1);
    transport->send(postTo(server, "/batch", "{}"),
                    [owner = transport, done](HttpResponse response) mutable {
                        owner.reset();
                        done(std::move(response));
                    });
    transport.reset();
    ASSERT_TRUE(completions.waitFor(1));
    EXPECT_EQ(completions.response(1).statusCode, 200);
    // The captured owner was the last reference; the completion released it.
    for (int i = 0; i < 100 && !watched.expired(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(watched.expired());
}

} // namespace
