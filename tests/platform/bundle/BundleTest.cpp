#include "platform/bundle/Bundle.h"

#include <gtest/gtest.h>

TEST(Bundle, KnowsTheRunningExecutableAndWhatTheApplicationSets) {
    platform::Bundle bundle;
    EXPECT_EQ(bundle.infoDictionary(),
              (nlohmann::json{{"CFBundleExecutable", "platform_bundle_tests"}}));
    EXPECT_FALSE(bundle.bundleIdentifier());

    bundle.setBundleIdentifier("com.example.tabs");
    bundle.setShortVersionString("2.4.1");
    bundle.setVersion("241");
    bundle.setExecutableName("tabs");
    bundle.setInfoDictionaryValue("LSUIElement", true);
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.tabs");
    EXPECT_EQ(bundle.infoDictionary(), (nlohmann::json{{"CFBundleIdentifier", "com.example.tabs"},
                                                       {"CFBundleShortVersionString", "2.4.1"},
                                                       {"CFBundleVersion", "241"},
                                                       {"CFBundleExecutable", "tabs"},
                                                       {"LSUIElement", true}}));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), "241");
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("SUFeedURL"));

    bundle.setInfoDictionaryValue("CFBundleIdentifier", 42);
    EXPECT_FALSE(bundle.bundleIdentifier()) << "an identifier that is no text is none";
}
