// What the configuration hooks do to events on their way to the server, and opting out and in
// again with the integrations that go with it.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "platform/application/Application.h"
#include "platform/core/MainQueue.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

class SDKHooksTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::useHome(home.path()); }

    testsupport::TemporaryDirectory home;
    testsupport::LoopbackHttpServer server;
    std::shared_ptr<DavaRorConfig> config = testsupport::quietConfig("key", server.baseUrl());
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
};

TEST_F(SDKHooksTest,
       TheSanitiserAndTheBeforeSendHookRewriteAndDropEventsAndAThrowingHookDropsOnlyItsEvent) {
    config->captureApplicationLifecycleEvents = false;
    config->propertiesSanitizer = [](json properties) {
        properties.erase("password");
        return properties;
    };
    config->beforeSend = [](DavaRorEvent event) -> std::optional<DavaRorEvent> {
        if (event.event == "noise") {
            return std::nullopt;
        }
        if (event.event == "explode") {
            throw std::runtime_error("hook failed");
        }
        event.event = "signup completed";
        return event;
    };
    client->setup(config);
    client->capture("noise");
    client->capture("explode");
    client->capture("signup", {{"password", "hunter2"}, {"plan", "pro"}});
    client->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    client->close();

    const json batch = json::parse(gunzip(server.requests()[0].body))["batch"];
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0]["event"], "signup completed");
    EXPECT_EQ(batch[0]["properties"]["plan"], "pro");
    EXPECT_FALSE(batch[0]["properties"].contains("password"));
}

TEST_F(SDKHooksTest, OptingInAgainReinstallsTheLifeCycleIntegration) {
    config->captureApplicationLifecycleEvents = true;
    testsupport::EventRecorder recorder(*client);
    client->setup(config);
    client->optOut();
    EXPECT_TRUE(client->isOptOut());
    client->optIn();

    platform::Application::shared().becomeActive();
    platform::MainQueue::shared().drain();
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"Application Installed", "Application Opened"}));
    client->close();
}

} // namespace
