#include "DavaRor/ScreenViews/DavaRorDeepLinkHelper.h"

#include <gtest/gtest.h>

using DavaRorDeepLinkHelper::buildDeepLinkProperties;
using nlohmann::json;

namespace {

platform::URL url(const char* text) {
    auto parsed = platform::URL::fromString(text);
    EXPECT_TRUE(parsed) << text;
    return *parsed;
}

} // namespace

TEST(DeepLinkProperties, AReferrerWithAHostNamesTheReferringDomain) {
    EXPECT_EQ(buildDeepLinkProperties(url("myapp://settings/privacy?tab=2"),
                                      "https://www.example.com/landing?utm=mail"),
              (json{{"url", "myapp://settings/privacy?tab=2"},
                    {"$referrer", "https://www.example.com/landing?utm=mail"},
                    {"$referring_domain", "www.example.com"}}));
    EXPECT_EQ(buildDeepLinkProperties(url("https://example.com/item/7"),
                                      "android-app://com.example.mail"),
              (json{{"url", "https://example.com/item/7"},
                    {"$referrer", "android-app://com.example.mail"},
                    {"$referring_domain", "com.example.mail"}}));
}

TEST(DeepLinkProperties, AReferrerWithoutAHostIsKeptAsItIs) {
    for (const char* referrer : {"a friend told me", "mailto:team@example.com", ""}) {
        EXPECT_EQ(buildDeepLinkProperties(url("myapp://home"), referrer),
                  (json{{"url", "myapp://home"}, {"$referrer", referrer}}))
            << referrer;
    }
}

TEST(DeepLinkProperties, WithoutAReferrerOnlyTheURL) {
    EXPECT_EQ(buildDeepLinkProperties(url("myapp://home"), std::nullopt),
              (json{{"url", "myapp://home"}}));
}
