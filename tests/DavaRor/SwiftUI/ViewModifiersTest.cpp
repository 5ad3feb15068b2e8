#include "DavaRor/SwiftUI/DavaRorSwiftUIViewModifier.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

using nlohmann::json;
using testsupport::EventRecorder;

namespace app::settings {
class SettingsPane : public platform::ui::View {};
} // namespace app::settings

namespace {

class ViewModifiersTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        auto config = testsupport::quietConfig("key");
        config->captureApplicationLifecycleEvents = false;
        client->setup(config);
    }
    void TearDown() override {
        if (client) {
            client->close();
        }
    }

    testsupport::TemporaryDirectory home;
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
    EventRecorder events{*client};
};

} // namespace

TEST_F(ViewModifiersTest, AScreenViewIsNamedAfterTheViewTypeUnlessNamed) {
    app::settings::SettingsPane pane;
    davaRorScreenView(pane, std::nullopt, {{"tab", "privacy"}}, client);
    platform::ui::View home;
    davaRorScreenView(home, "Home", nullptr, client);

    pane.appear();
    home.appear();
    pane.appear();
    const auto captured = events.events();
    ASSERT_EQ(events.names(), (std::vector<std::string>{"$screen", "$screen", "$screen"}));
    EXPECT_EQ(captured[0].properties["$screen_name"], "SettingsPane");
    EXPECT_EQ(captured[0].properties["tab"], "privacy");
    EXPECT_EQ(captured[1].properties["$screen_name"], "Home");
    EXPECT_EQ(captured[2].properties["$screen_name"], "SettingsPane");
}

TEST_F(ViewModifiersTest, ViewSeenCapturesItsEventEachTimeTheViewIsShown) {
    platform::ui::View paywall;
    davaRorViewSeen(paywall, "paywall_seen", {{"plan", "yearly"}}, client);
    paywall.appear();
    paywall.appear();
    ASSERT_EQ(events.names(), (std::vector<std::string>{"paywall_seen", "paywall_seen"}));
    EXPECT_EQ(events.events()[1].properties["plan"], "yearly");
    EXPECT_FALSE(events.events()[1].properties.contains("$screen_name"));
}

TEST_F(ViewModifiersTest, WithoutAClientTheSharedOneAtShowTimeCaptures) {
    platform::ui::View view;
    davaRorViewSeen(view, "seen_before_setup");
    auto shared = DavaRorSDK::shared();
    EventRecorder sharedEvents(*shared);
    auto config = testsupport::quietConfig("shared");
    config->captureApplicationLifecycleEvents = false;
    config->captureScreenViews = false;
    shared->setup(config);

    view.appear();
    EXPECT_EQ(sharedEvents.names(), std::vector<std::string>{"seen_before_setup"});
    EXPECT_TRUE(events.events().empty());

    shared->close();
}

TEST_F(ViewModifiersTest, AViewKeepsTheClientItWasGiven) {
    platform::ui::View view;
    davaRorViewSeen(view, "seen_after_release", nullptr, client);
    const std::weak_ptr<DavaRorSDK> given = client;
    client.reset();
    ASSERT_FALSE(given.expired());

    view.appear();
    EXPECT_EQ(events.names(), std::vector<std::string>{"seen_after_release"});
    given.lock()->close();
}
