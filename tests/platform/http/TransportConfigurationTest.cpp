// How a transport configuration fills in a request.
#include "platform/http/TransportConfiguration.h"

#include <gtest/gtest.h>

namespace {

using namespace platform::http;

TEST(TransportConfiguration, AddsItsHeadersWithoutOverridingTheRequests) {
    TransportConfiguration configuration;
    configuration.setAdditionalHeader("User-Agent", "first");
    configuration.setAdditionalHeader("user-agent", "davaror-ios/3.50.0");
    configuration.setAdditionalHeader("Content-Type", "application/json; charset=utf-8");
    ASSERT_EQ(configuration.additionalHeaders.size(), 2u);

    HttpRequest request;
    request.headers = {{"content-type", "text/plain"}};
    const HttpRequest applied = configuration.applyTo(request);
    EXPECT_EQ(findHeader(applied.headers, "Content-Type"), "text/plain");
    EXPECT_EQ(findHeader(applied.headers, "User-Agent"), "davaror-ios/3.50.0");
    EXPECT_EQ(applied.headers.size(), 2u);
}

TEST(TransportConfiguration, ProxyOfTheRequestWins) {
    TransportConfiguration configuration;
    configuration.proxy = "http://127.0.0.1:1";
    HttpRequest direct;
    EXPECT_EQ(configuration.applyTo(direct).proxy, "http://127.0.0.1:1");
    HttpRequest ownProxy;
    ownProxy.proxy = "http://127.0.0.1:2";
    EXPECT_EQ(configuration.applyTo(ownProxy).proxy, "http://127.0.0.1:2");
}

} // namespace
