#include "DavaRor/SwiftUI/DavaRorDeepLinkListener.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "platform/core/LogSink.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

using nlohmann::json;
using platform::ui::NSUserActivityTypeBrowsingWeb;
using platform::ui::UserActivity;
using testsupport::EventRecorder;

namespace {

platform::URL url(const char* text) {
    return *platform::URL::fromString(text);
}

class DeepLinkListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        config->captureApplicationLifecycleEvents = false;
        config->captureScreenViews = false;
    }
    void TearDown() override {
        if (client) {
            client->close();
        }
    }

    std::vector<json> deepLinks() const {
        std::vector<json> links;
        for (const auto& event : events.events()) {
            EXPECT_EQ(event.event, "Deep Link Opened");
            json link = json::object();
            for (const char* key : {"url", "$referrer", "$referring_domain"}) {
                if (event.properties.contains(key)) {
                    link[key] = event.properties[key];
                }
            }
            links.push_back(link);
        }
        return links;
    }

    testsupport::TemporaryDirectory home;
    std::shared_ptr<DavaRorConfig> config = testsupport::quietConfig("key");
    std::shared_ptr<DavaRorSDK> client = DavaRorSDK::create();
    EventRecorder events{*client};
};

} // namespace

TEST_F(DeepLinkListenerTest, OpenedURLsAndHandedOverWebPagesAreDeepLinks) {
    client->setup(config);
    platform::ui::View view;
    davaRorDeepLinkListener(view, client);

    view.openURL(url("myapp://settings/privacy"));
    view.continueUserActivity({NSUserActivityTypeBrowsingWeb, url("https://example.com/item/7"),
                               url("https://www.search.example/results?q=item")});
    view.continueUserActivity(
        {NSUserActivityTypeBrowsingWeb, url("https://example.com/item/8"), std::nullopt});
    // Neither a web page without its URL nor another kind of activity is a deep link.
    view.continueUserActivity({NSUserActivityTypeBrowsingWeb, std::nullopt, std::nullopt});
    view.continueUserActivity(
        {"com.example.editing", url("https://example.com/doc"), std::nullopt});
    client->captureDeepLink(
        UserActivity{"com.example.editing", url("https://example.com/doc"), std::nullopt});

    EXPECT_EQ(deepLinks(), (std::vector<json>{
                               {{"url", "myapp://settings/privacy"}},
                               {{"url", "https://example.com/item/7"},
                                {"$referrer", "https://www.search.example/results?q=item"},
                                {"$referring_domain", "www.search.example"}},
                               {{"url", "https://example.com/item/8"}},
                           }));
}

TEST_F(DeepLinkListenerTest, AViewKeepsTheClientItWasGiven) {
    client->setup(config);
    platform::ui::View view;
    davaRorDeepLinkListener(view, client);
    const std::weak_ptr<DavaRorSDK> given = client;
    client.reset();
    ASSERT_FALSE(given.expired());

    view.openURL(url("myapp://home"));
    view.continueUserActivity(
        {NSUserActivityTypeBrowsingWeb, url("https://example.com/item/9"), std::nullopt});
    EXPECT_EQ(deepLinks(), (std::vector<json>{{{"url", "myapp://home"}},
                                              {{"url", "https://example.com/item/9"}}}));
    given.lock()->close();
}

TEST_F(DeepLinkListenerTest, BeforeSetupADeepLinkIsOnlyLogged) {
    davaRorLogEnabled = true;
    platform::log::ScopedCapture log;
    platform::ui::View view;
    davaRorDeepLinkListener(view, client);
    view.openURL(url("myapp://home"));
    client->captureDeepLink(std::nullopt);
    EXPECT_EQ(log.count("[DavaRor] DavaRor method was called without `setup` being complete. "
                        "Call wil be ignored."),
              2u);
    davaRorLogEnabled = false;

    client->setup(config);
    client->captureDeepLink(std::nullopt);
    EXPECT_TRUE(events.events().empty());
}

TEST_F(DeepLinkListenerTest, WithoutAClientTheSharedOneListens) {
    auto shared = DavaRorSDK::shared();
    EventRecorder sharedEvents(*shared);
    shared->setup(config);
    platform::ui::View view;
    davaRorDeepLinkListener(view);
    view.openURL(url("myapp://home"));
    EXPECT_EQ(sharedEvents.names(), std::vector<std::string>{"Deep Link Opened"});
    shared->close();
}
