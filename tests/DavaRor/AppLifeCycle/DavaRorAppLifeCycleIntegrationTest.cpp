#include "DavaRor/AppLifeCycle/DavaRorAppLifeCycleIntegration.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/InternalDavaRorError.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "platform/application/Application.h"
#include "platform/bundle/Bundle.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "platform/core/PumpUntil.h"
#include "platform/userdefaults/UserDefaults.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include "FreshProcess.h"

#include <gtest/gtest.h>

#include <fstream>

using nlohmann::json;
using testsupport::EventRecorder;
using testsupport::quietConfig;

namespace {

// A case that meets the once-per-process install check or the standard
// defaults runs in a process of its own, where both start fresh.
class AppLifeCycleIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        auto& bundle = platform::Bundle::main();
        bundle.setBundleIdentifier("com.example.lifecycle");
        bundle.setShortVersionString("2.4.1");
        bundle.setVersion("241");
        davaRorLogEnabled = true;
    }
    void TearDown() override { davaRorLogEnabled = false; }

    std::shared_ptr<DavaRorSDK> setUpClient(std::shared_ptr<DavaRorConfig> config) {
        auto client = DavaRorSDK::create();
        client->setup(std::move(config));
        return client;
    }

    // Posts through the application and waits until the handlers have run.
    template <typename... Moments> void post(Moments... moments) {
        auto& application = platform::Application::shared();
        ((application.*moments)(), ...);
        platform::MainQueue::shared().drain();
    }

    std::filesystem::path defaultsFile() const {
        return home.path() / "config" / "com.example.lifecycle.json";
    }

    static constexpr auto launch = &platform::Application::finishLaunching;
    static constexpr auto activate = &platform::Application::becomeActive;
    static constexpr auto resign = &platform::Application::resignActive;

    testsupport::TemporaryDirectory home;
    platform::log::ScopedCapture log;
};

// Only the properties the life-cycle rules set, without the client's context.
json lifeCycleProperties(const json& properties) {
    json picked = json::object();
    for (const char* key :
         {"version", "build", "previous_version", "previous_build", "from_background"}) {
        if (properties.contains(key)) {
            picked[key] = properties[key];
        }
    }
    return picked;
}

const json kInstalled = {"Application Installed", {{"version", "2.4.1"}, {"build", 241}}};
const json kFirstOpened = {"Application Opened",
                           {{"from_background", false}, {"version", "2.4.1"}, {"build", "241"}}};
const json kBackgrounded = {"Application Backgrounded", json::object()};
const json kOpenedFromBackground = {"Application Opened", {{"from_background", true}}};

std::vector<json> lifeCycleEvents(const EventRecorder& recorder) {
    std::vector<json> events;
    for (const auto& event : recorder.events()) {
        events.push_back({event.event, lifeCycleProperties(event.properties)});
    }
    return events;
}

} // namespace

TEST_F(AppLifeCycleIntegrationTest, LaunchActivateResignActivateReachTheServer) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    testsupport::LoopbackHttpServer server;
    auto config = quietConfig("key", server.baseUrl());
    config->captureApplicationLifecycleEvents = true;
    auto client = setUpClient(config);

    post(launch, activate, resign, activate);
    client->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return client->queue()->depth() == 0; }));

    ASSERT_EQ(server.requests().size(), 1u);
    const auto batch = json::parse(gunzip(server.requests()[0].body))["batch"];
    std::vector<json> delivered;
    for (const auto& event : batch) {
        EXPECT_EQ(event["properties"]["$lib"], "davaror-ios") << "the context came along";
        delivered.push_back({event["event"], lifeCycleProperties(event["properties"])});
    }
    EXPECT_EQ(delivered,
              (std::vector<json>{kInstalled, kFirstOpened, kBackgrounded, kOpenedFromBackground}));
    client->close();

    std::ifstream stored(defaultsFile());
    EXPECT_EQ(json::parse(stored), (json{{"ZOZVersionKey", "2.4.1"}, {"ZOZBuildKeyV2", "241"}}));
}

TEST_F(AppLifeCycleIntegrationTest, AnUpdateIsCapturedOncePerProcessAndRepeatsOnlyLog) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    std::filesystem::create_directories(defaultsFile().parent_path());
    std::ofstream(defaultsFile()) << R"({"ZOZVersionKey": "2.4.0", "ZOZBuildKeyV2": "240"})";
    auto client = DavaRorSDK::create();
    EventRecorder recorder(*client);
    client->setup(quietConfig("key"));

    post(launch, activate, activate, resign, resign);
    const json kUpdated = {"Application Updated",
                           {{"previous_version", "2.4.0"},
                            {"previous_build", 240},
                            {"version", "2.4.1"},
                            {"build", 241}}};
    EXPECT_EQ(lifeCycleEvents(recorder),
              (std::vector<json>{kUpdated, kFirstOpened, kBackgrounded}));
    EXPECT_EQ(log.count("Skipping Application Opened event - app already in foreground"), 1u);
    EXPECT_EQ(log.count("app already in background"), 1u);
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey("ZOZBuildKeyV2"), "241");
    client->close();
}

TEST_F(AppLifeCycleIntegrationTest, ASecondClientIsRefusedWithTheExactText) {
    auto first = setUpClient(quietConfig("first"));
    auto second = setUpClient(quietConfig("second"));
    EventRecorder firstEvents(*first);
    EventRecorder secondEvents(*second);
    EXPECT_TRUE(log.contains(
        "[DavaRor] Integration DavaRorAppLifeCycleIntegration failed to install: App life cycle "
        "integration already installed to another DavaRorSDK instance. "
        "(DavaRor/DavaRorAppLifeCycleIntegration.cpp:40)"));
    EXPECT_TRUE(log.contains(
        "[DavaRor] Integration DavaRorScreenViewIntegration failed to install: Autocapture "
        "integration already installed to another DavaRorSDK instance. "
        "(DavaRor/DavaRorScreenViewIntegration.cpp:22)"));

    post(activate);
    EXPECT_EQ(firstEvents.names(), std::vector<std::string>{"Application Opened"});
    EXPECT_TRUE(secondEvents.events().empty());
    first->close();
    second->close();
}

TEST_F(AppLifeCycleIntegrationTest, OnlyTheOwningClientUninstallsAndMayInstallAgain) {
    // Set up without the integration, so the test holds the one instance.
    auto owner = setUpClient(quietConfig("owner"));
    auto other = setUpClient(quietConfig("other"));
    owner->uninstallIntegrations();
    other->uninstallIntegrations();
    EventRecorder ownerEvents(*owner);
    EventRecorder otherEvents(*other);

    auto integration = std::make_shared<DavaRorAppLifeCycleIntegration>();
    integration->install(*owner);
    integration->uninstall(*other);
    EXPECT_THROW(std::make_shared<DavaRorAppLifeCycleIntegration>()->install(*other),
                 InternalDavaRorError);
    post(activate);

    integration->uninstall(*owner);
    post(resign);
    EXPECT_NO_THROW(integration->install(*owner));
    post(resign, activate);

    EXPECT_EQ(lifeCycleEvents(ownerEvents),
              (std::vector<json>{kFirstOpened, kBackgrounded, kOpenedFromBackground}))
        << "subscribed once after the reinstall, and unsubscribed in between";
    EXPECT_TRUE(otherEvents.events().empty());
    owner->close();
    other->close();
}

TEST_F(AppLifeCycleIntegrationTest, ARefusedInstanceDoesNotFreeTheOwnersClaim) {
    auto owner = setUpClient(quietConfig("owner"));
    auto other = setUpClient(quietConfig("other"));
    auto refused = std::make_shared<DavaRorAppLifeCycleIntegration>();
    EXPECT_THROW(refused->install(*other), InternalDavaRorError);
    refused->uninstall(*other);
    refused.reset();
    EXPECT_THROW(std::make_shared<DavaRorAppLifeCycleIntegration>()->install(*other),
                 InternalDavaRorError);
    owner->close();
    other->close();
}

TEST_F(AppLifeCycleIntegrationTest, AReleasedClientLeavesTheHandlersWithoutEffect) {
    auto config = quietConfig("released");
    config->captureApplicationLifecycleEvents = false;
    auto client = setUpClient(config);
    config->captureApplicationLifecycleEvents = true;
    auto integration = std::make_shared<DavaRorAppLifeCycleIntegration>();
    integration->install(*client);
    EventRecorder recorder(*client);
    post(activate);
    ASSERT_EQ(recorder.names(), std::vector<std::string>{"Application Opened"});

    client->close();
    client.reset();
    const auto linesBefore = log.lines().size();
    post(launch, resign);
    EXPECT_EQ(log.lines().size(), linesBefore) << "not even a skip line";

    // The resignation above left the state in the foreground: the handler
    // returned before the state machine saw it.
    auto next = setUpClient(quietConfig("next"));
    EventRecorder nextEvents(*next);
    integration->uninstall(*next);
    integration->install(*next);
    post(activate);
    EXPECT_TRUE(nextEvents.events().empty());
    EXPECT_TRUE(log.contains("Skipping Application Opened event - app already in foreground"));
    next->close();
}

TEST_F(AppLifeCycleIntegrationTest, AClientReleasedWithoutClosingFreesTheIntegrationType) {
    auto first = setUpClient(quietConfig("first"));
    first.reset();
    EXPECT_EQ(log.count("Integration DavaRorAppLifeCycleIntegration uninstalled"), 1u);
    auto second = setUpClient(quietConfig("second"));
    EventRecorder events(*second);
    EXPECT_EQ(log.count("Integration DavaRorAppLifeCycleIntegration installed"), 2u);
    post(activate);
    EXPECT_EQ(events.names(), std::vector<std::string>{"Application Opened"});
    second->close();
}
