// What the configuration hooks do to events on their way to the server, and opting out and in
// again with the integrations that go with it, also from a hook while setup installs them.
#include "DavaRor/AppLifeCycle/DavaRorAppLifeCycleIntegration.h"
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "platform/application/Application.h"
#include "platform/core/MainQueue.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include "ForkedChild.h"
#include "FreshProcess.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

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
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
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

// The life-cycle integration captures "Application Installed" inside its install, so the
// application's hooks run while setup installs the integrations. Each case runs in a child of
// a fresh process (a fresh process-wide install check), under a time limit so that a hang fails;
// the fixture starts no thread, as a child of a threaded process could not start its own.
class SetupHooksTest : public ::testing::Test {
protected:
    enum class Hook { beforeSend, propertiesSanitizer, onEventCaptured };
    enum class Call { optOut, optIn, close, optOutAndIn };
    enum Outcome { asExpected = 0, hookNeverRan = 1, wrongState = 2 };

    Outcome setUpWithHookCalling(Hook hook, Call call, const std::filesystem::path& childHome) {
        testsupport::useHome(childHome);
        auto client = DavaRorSDK::create();
        auto config = testsupport::quietConfig("key");
        config->captureApplicationLifecycleEvents = true;
        config->captureScreenViews = false;
        bool called = false;
        auto callOnce = [&] {
            if (std::exchange(called, true)) {
                return;
            }
            switch (call) {
            case Call::optOut:
                client->optOut();
                break;
            case Call::optIn:
                client->optIn();
                break;
            case Call::close:
                client->close();
                break;
            case Call::optOutAndIn:
                client->optOut();
                client->optIn();
                break;
            }
        };
        RegistrationToken subscription;
        switch (hook) {
        case Hook::beforeSend:
            config->beforeSend = [&](DavaRorEvent event) -> std::optional<DavaRorEvent> {
                callOnce();
                return event;
            };
            break;
        case Hook::propertiesSanitizer:
            config->propertiesSanitizer = [&](json properties) {
                callOnce();
                return properties;
            };
            break;
        case Hook::onEventCaptured:
            subscription =
                client->onEventCaptured.subscribe([&](const DavaRorEvent&) { callOnce(); });
            break;
        }
        client->setup(config);
        if (!called) {
            return hookNeverRan;
        }
        const bool stateAsExpected = [&] {
            switch (call) {
            case Call::optOut:
                return client->isOptOut() && !lifeCycleIntegrationInstalled();
            case Call::optIn:
            case Call::optOutAndIn:
                return !client->isOptOut() && lifeCycleIntegrationInstalled();
            case Call::close:
                return !client->enabled() && !lifeCycleIntegrationInstalled();
            }
            return false;
        }();
        return stateAsExpected ? asExpected : wrongState;
    }

    // Only one life-cycle integration can be installed per process.
    static bool lifeCycleIntegrationInstalled() {
        auto probe = DavaRorSDK::create();
        try {
            std::make_shared<DavaRorAppLifeCycleIntegration>()->install(*probe);
            return false;
        } catch (const InternalDavaRorError&) {
            return true;
        }
    }

    testsupport::TemporaryDirectory home;
};

TEST_F(SetupHooksTest, AHookThatOptsOutOptsInOrClosesDuringSetupNeitherHangsNorLeavesItHalfDone) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const std::pair<Hook, const char*> hooks[] = {
        {Hook::beforeSend, "beforeSend"},
        {Hook::propertiesSanitizer, "propertiesSanitizer"},
        {Hook::onEventCaptured, "onEventCaptured"}};
    const std::pair<Call, const char*> calls[] = {{Call::optOut, "optOut"},
                                                  {Call::optIn, "optIn"},
                                                  {Call::close, "close"},
                                                  {Call::optOutAndIn, "optOut and optIn"}};
    int child = 0;
    for (const auto& [hook, hookName] : hooks) {
        for (const auto& [call, callName] : calls) {
            const auto childHome = home.path() / std::to_string(child++);
            const int status =
                runInForkedChild([&] { _exit(setUpWithHookCalling(hook, call, childHome)); }, 30);
            SCOPED_TRACE(std::string(hookName) + " calling " + callName);
            EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) << "setup hung";
            ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
            EXPECT_EQ(WEXITSTATUS(status), asExpected);
        }
    }
}

} // namespace
