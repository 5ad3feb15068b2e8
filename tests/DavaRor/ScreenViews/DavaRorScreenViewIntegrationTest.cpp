#include "DavaRor/ScreenViews/DavaRorScreenViewIntegration.h"
#include "DavaRor/AppLifeCycle/DI.h"
#include "DavaRor/ScreenViews/ApplicationScreenViewPublisher.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "platform/core/LogSink.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

using davaror::ApplicationScreenViewPublisher;

namespace DI = davaror::DI;

using testsupport::EventRecorder;

namespace {

class ScreenViewIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        davaRorLogEnabled = true;
        config->captureApplicationLifecycleEvents = false;
    }
    void TearDown() override {
        client->close();
        davaRorLogEnabled = false;
    }

    static void publish(const std::string& screen) {
        DI::main().screenViewPublisher().onScreenView().invoke(screen);
    }
    static std::size_t subscribers() {
        return DI::main().screenViewPublisher().onScreenView().subscriberCount();
    }

    testsupport::TemporaryDirectory home;
    platform::log::ScopedCapture log;
    std::shared_ptr<DavaRorConfig> config = testsupport::quietConfig("key");
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
    EventRecorder events{*client};
};

} // namespace

TEST_F(ScreenViewIntegrationTest, PublishedNamesBecomeScreenEventsWhileInstalled) {
    client->setup(config);
    EXPECT_EQ(subscribers(), 1u);
    EXPECT_FALSE(ApplicationScreenViewPublisher::shared().hasSwizzled())
        << "nothing intercepts view appearance here";
    publish("Settings");
    ASSERT_EQ(events.names(), std::vector<std::string>{"$screen"});
    EXPECT_EQ(events.events()[0].properties["$screen_name"], "Settings");

    config->captureScreenViews = false;
    publish("Hidden");
    EXPECT_TRUE(log.contains(
        "[DavaRor] Skipping $screen event - captureScreenViews is disabled in configuration"));

    client->close();
    EXPECT_EQ(subscribers(), 0u);
    config->captureScreenViews = true;
    publish("After close");
    EXPECT_EQ(events.events().size(), 1u);
}

TEST_F(ScreenViewIntegrationTest, WithoutSwizzlingItIsNotInstalledAtAll) {
    config->enableSwizzling = false;
    client->setup(config);
    EXPECT_TRUE(log.contains(
        "[DavaRor] Integration DavaRorScreenViewIntegration skipped. Integration requires "
        "swizzling but enableSwizzling is disabled in config"));
    EXPECT_EQ(subscribers(), 0u);
    publish("Settings");
    EXPECT_TRUE(events.events().empty());

    // Skipped, it claimed nothing: the type can still be installed.
    auto integration = std::make_shared<DavaRorScreenViewIntegration>();
    EXPECT_NO_THROW(integration->install(*client));
    publish("Settings");
    EXPECT_EQ(events.names(), std::vector<std::string>{"$screen"});
    integration->uninstall(*client);
}
