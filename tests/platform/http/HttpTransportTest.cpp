// The transport against a real loopback server: what goes on the wire, what
// comes back, and that every request completes exactly once on the worker.
#include "platform/http/HttpTransport.h"

#include "support/LoopbackHttpServer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <map>
#include <mutex>

namespace {

using namespace platform::http;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

std::string gzipCompressed(std::string_view input) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string output(deflateBound(&stream, input.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

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

// A port on which nothing listens: bound once, then released.
std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

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

TEST(HttpTransportWire, GetCarriesNoBody) {
    LoopbackHttpServer server;
    Completions completions;
    HttpTransport transport;
    HttpRequest request;
    request.url = server.baseUrl() + "/array/key/config";
    transport.send(request, completions.forRequest(1));
    ASSERT_TRUE(completions.waitFor(1));
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "GET");
    EXPECT_EQ(received.body, "");
    EXPECT_EQ(received.header("Content-Length"), std::nullopt);
    EXPECT_EQ(completions.response(1).statusCode, 200);
    EXPECT_TRUE(completions.response(1).body.empty());
}

TEST(HttpTransportWire, ChunkedRequestBodyArrivesWhole) {
    LoopbackHttpServer server;
    Completions completions;
    HttpTransport transport;
    auto request = postTo(server, "/chunked", std::string(40000, 'c'));
    request.headers.emplace_back("Transfer-Encoding", "chunked");
    transport.send(request, completions.forRequest(1));
    ASSERT_TRUE(completions.waitFor(1));
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(received.body, std::string(40000, 'c'));
    EXPECT_GT(received.raw.size(), received.body.size());
}

TEST(HttpTransportWire, GzipReplyIsDecodedWhenGzipIsAccepted) {
    LoopbackHttpServer server;
    ScriptedReply reply = ScriptedReply::respond(200, gzipCompressed(R"({"flags":{}})"));
    reply.headers = {{"Content-Encoding", "gzip"}};
    server.enqueue(reply);
    Completions completions;
    HttpTransport transport;
    auto request = postTo(server, "/batch", "{}");
    request.headers.emplace_back("Accept-Encoding", "gzip");
    transport.send(request, completions.forRequest(1));
    ASSERT_TRUE(completions.waitFor(1));
    EXPECT_EQ(server.requests().at(0).header("Accept-Encoding"), "gzip");
    EXPECT_EQ(completions.response(1).body, R"({"flags":{}})");
}

TEST(HttpTransportWire, ProxyReceivesTheAbsoluteAddress) {
    LoopbackHttpServer proxy;
    Completions completions;
    HttpTransport transport;
    HttpRequest request;
    request.url = "http://ingest.davaror.invalid/flags?v=2";
    request.proxy = proxy.baseUrl();
    transport.send(request, completions.forRequest(1));
    ASSERT_TRUE(completions.waitFor(1));
    EXPECT_EQ(proxy.requests().at(0).target, "http://ingest.davaror.invalid/flags?v=2");
    EXPECT_EQ(completions.response(1).statusCode, 200);
}

struct FailureCase {
    const char* name;
    HttpErrorCode expected;
};

class HttpTransportFailures : public ::testing::Test {
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

TEST_F(HttpTransportFailures, ConnectionRefused) {
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/batch";
    const auto response = sendAndWait(request);
    ASSERT_TRUE(response.error);
    EXPECT_EQ(response.error->code, HttpErrorCode::cannotConnectToHost);
    EXPECT_FALSE(response.statusCode);
}

TEST_F(HttpTransportFailures, ServerClosesWithoutReply) {
    server.enqueue(ScriptedReply::closeWithoutReply());
    const auto response = sendAndWait(postTo(server, "/batch", "{}"));
    ASSERT_TRUE(response.error);
    EXPECT_EQ(response.error->code, HttpErrorCode::networkConnectionLost);
    EXPECT_FALSE(response.statusCode);
}

TEST_F(HttpTransportFailures, HangingServerTimesOut) {
    server.enqueue(ScriptedReply::hang());
    auto request = postTo(server, "/batch", "{}");
    request.timeout = 300ms;
    const auto response = sendAndWait(request);
    ASSERT_TRUE(response.error);
    EXPECT_EQ(response.error->code, HttpErrorCode::timedOut);
    EXPECT_FALSE(response.statusCode);
}

TEST_F(HttpTransportFailures, OnlyHttpAndHttpsAreSpoken) {
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"}) {
        Completions local;
        HttpRequest request;
        request.url = url;
        transport.send(request, local.forRequest(1));
        ASSERT_TRUE(local.waitFor(1)) << url;
        const auto response = local.response(1);
        ASSERT_TRUE(response.error) << url;
        EXPECT_EQ(response.error->code, HttpErrorCode::unsupportedURL) << url;
        EXPECT_FALSE(response.error->description.empty());
    }
    EXPECT_TRUE(server.requests().empty());
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

TEST(HttpTransportCompletion, DestroyingTheTransportCancelsInFlightRequestsOnce) {
    LoopbackHttpServer server;
    server.setDefaultReply(ScriptedReply::hang());
    Completions completions;
    {
        HttpTransport transport;
        for (int tag = 0; tag < 3; ++tag) {
            transport.send(postTo(server, "/batch", "{}"), completions.forRequest(tag));
        }
        ASSERT_TRUE(server.waitForRequests(3));
    }
    ASSERT_EQ(completions.total(), 3u);
    for (int tag = 0; tag < 3; ++tag) {
        EXPECT_EQ(completions.calls(tag), 1);
        ASSERT_TRUE(completions.response(tag).error);
        EXPECT_EQ(completions.response(tag).error->code, HttpErrorCode::cancelled);
    }
}

TEST(HttpTransportCompletion, RequestSentFromACancelledCompletionIsCancelledToo) {
    LoopbackHttpServer server;
    server.setDefaultReply(ScriptedReply::hang());
    Completions completions;
    {
        HttpTransport transport;
        auto followUp = completions.forRequest(2);
        transport.send(postTo(server, "/batch", "{}"),
                       [&, first = completions.forRequest(1), followUp](HttpResponse response) {
                           transport.send(postTo(server, "/again", "{}"), followUp);
                           first(std::move(response));
                       });
        ASSERT_TRUE(server.waitForRequests(1));
    }
    ASSERT_EQ(completions.total(), 2u);
    EXPECT_EQ(completions.response(2).error->code, HttpErrorCode::cancelled);
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
