#include "platform/ui/View.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace app::settings {
class SettingsPane : public platform::ui::View {};
template <typename Row> class List : public platform::ui::View {};
struct Row {};
} // namespace app::settings

using platform::URL;
using platform::ui::UserActivity;
using platform::ui::View;

TEST(View, TypeNameIsTheUnqualifiedDynamicType) {
    app::settings::SettingsPane pane;
    const View& asView = pane;
    EXPECT_EQ(asView.typeName(), "SettingsPane");
    EXPECT_EQ(app::settings::List<app::settings::Row>().typeName(), "List<app::settings::Row>");
    EXPECT_EQ(View().typeName(), "View");
}

TEST(View, EachEventRunsTheHooksRegisteredForIt) {
    app::settings::SettingsPane view;
    std::vector<std::string> calls;
    view.onAppear([&] { calls.push_back("appear 1"); });
    view.onAppear([&] { calls.push_back("appear 2"); });
    view.onOpenURL([&](const URL& url) { calls.push_back("open " + url.absoluteString()); });
    view.onContinueUserActivity(platform::ui::NSUserActivityTypeBrowsingWeb,
                                [&](const UserActivity& activity) {
                                    calls.push_back("web " + activity.webpageURL->absoluteString());
                                });
    view.onContinueUserActivity("com.example.handoff",
                                [&](const UserActivity&) { calls.push_back("handoff"); });

    view.appear();
    view.appear();
    view.openURL(*URL::fromString("myapp://settings"));
    view.continueUserActivity({platform::ui::NSUserActivityTypeBrowsingWeb,
                               URL::fromString("https://example.com/a"), std::nullopt});
    view.continueUserActivity({"com.example.other", std::nullopt, std::nullopt});
    EXPECT_EQ(calls,
              (std::vector<std::string>{"appear 1", "appear 2", "appear 1", "appear 2",
                                        "open myapp://settings", "web https://example.com/a"}));
}
