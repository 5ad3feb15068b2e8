// A handled error captured from a test function, followed to the server: the entries, the
// frames and the debug images as the service receives them, with the images' ids checked
// against what readelf reads from the files; and one raised inside a plugin opened after the
// client started.
#include "DavaRor/DavaRorSDK.h"
#include "platform/foundation/NSError.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include "TestPlugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>

using nlohmann::json;
using platform::foundation::NSDebugDescriptionErrorKey;
using platform::foundation::NSDictionary;
using platform::foundation::NSError;
using platform::foundation::NSLocalizedDescriptionKey;
using platform::foundation::NSUnderlyingErrorKey;

namespace {

__attribute__((noinline)) void reportSyncFailure(DavaRorSDK& client, const NSError& error) {
    client.captureException(error, {{"$exception_level", "warning"}, {"screen", "sync"}});
    // Keeps the call out of tail position, so this function keeps a frame of its own.
    asm volatile("" ::: "memory");
}

std::string buildIdOf(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> readelf(popen(("readelf -n '" + path + "'").c_str(), "r"),
                                                  pclose);
    std::string output;
    char chunk[4096];
    while (readelf && fgets(chunk, sizeof(chunk), readelf.get()) != nullptr) {
        output += chunk;
    }
    std::smatch match;
    return std::regex_search(output, match, std::regex("Build ID: ([0-9a-f]+)")) ? match[1].str()
                                                                                 : "";
}

std::string lowerHexDigits(std::string uuid) {
    std::erase(uuid, '-');
    std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](char c) { return std::tolower(c); });
    return uuid;
}

// A client that sends every event at once to a local server.
class CaptureException : public testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        auto config = testsupport::quietConfig("key", server.baseUrl());
        config->captureApplicationLifecycleEvents = false;
        config->flushAt = 1;
        client = DavaRorSDK::create();
        client->setup(config);
    }

    testsupport::TemporaryDirectory home;
    testsupport::LoopbackHttpServer server;
    std::shared_ptr<DavaRorSDK> client;
};

TEST_F(CaptureException, ATwoLevelErrorReachesTheServerWithFramesAndDebugImages) {
    auto offline = std::make_shared<NSError>(
        "NSURLErrorDomain", -1009,
        NSDictionary{{NSLocalizedDescriptionKey, std::string("offline")}});
    NSError syncFailed("com.example.sync", 7,
                       {{NSUnderlyingErrorKey, offline},
                        {NSDebugDescriptionErrorKey, std::string("upload refused")}});
    reportSyncFailure(*client, syncFailed);
    ASSERT_TRUE(server.waitForRequests(1));
    client->close();

    const json event = json::parse(gunzip(server.requests()[0].body))["batch"][0];
    EXPECT_EQ(event["event"], "$exception");
    const json& properties = event["properties"];
    EXPECT_EQ(properties["$exception_level"], "warning") << "the caller's value wins";
    EXPECT_EQ(properties["screen"], "sync");

    const json& entries = properties["$exception_list"];
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["type"], "com.example.sync");
    EXPECT_EQ(entries[0]["value"], "upload refused (Code: 7)");
    EXPECT_EQ(entries[0]["module"], "com.example");
    EXPECT_EQ(entries[1]["type"], "NSURLErrorDomain");
    EXPECT_EQ(entries[1]["value"], "offline (Code: -1009)");
    EXPECT_FALSE(entries[1].contains("module"));

    std::set<std::string> imageAddresses;
    for (const auto& entry : entries) {
        EXPECT_EQ(entry["mechanism"],
                  (json{{"type", "generic"}, {"handled", true}, {"synthetic", true}}));
        const json& frames = entry["stacktrace"]["frames"];
        ASSERT_FALSE(frames.empty());
        const json& innermost = frames.back();
        EXPECT_NE(innermost["function"].get<std::string>().find("reportSyncFailure"),
                  std::string::npos)
            << innermost.dump();
        EXPECT_EQ(innermost["in_app"], true);
        bool sawLibc = false;
        for (const auto& frame : frames) {
            EXPECT_NE(frame.value("module", ""), "DavaRor.so") << "the client's frames are gone";
            if (frame.value("module", "").starts_with("libc.so")) {
                sawLibc = true;
                EXPECT_EQ(frame["in_app"], false) << frame.dump();
            }
            if (frame.contains("image_addr")) {
                imageAddresses.insert(frame["image_addr"].get<std::string>());
            }
        }
        EXPECT_TRUE(sawLibc) << "the C runtime starts every stack";
    }

    std::map<std::string, json> images;
    for (const auto& image : properties["$debug_images"]) {
        images[image["image_addr"].get<std::string>()] = image;
    }
    for (const auto& address : imageAddresses) {
        ASSERT_TRUE(images.contains(address)) << address;
        const json& image = images[address];
        const std::string buildId = buildIdOf(image["code_file"]);
        ASSERT_FALSE(buildId.empty()) << image.dump();
        EXPECT_TRUE(buildId.starts_with(lowerHexDigits(image["debug_id"])))
            << image.dump() << " build-id " << buildId;
        EXPECT_GT(image["image_size"].get<std::uint64_t>(), 0u);
    }
}

struct PluginCall {
    DavaRorSDK* client;
    const NSError* error;
};

TEST_F(CaptureException, AnErrorRaisedInsideAPluginOpenedLaterCarriesThePluginsFramesAndImage) {
    testplugin::OpenedPlugin plugin;
    NSError refused("com.example.plugin", 3, {});
    PluginCall call{client.get(), &refused};
    plugin.function<testplugin::Call>("test_plugin_call")(
        [](void* context) {
            auto* call = static_cast<PluginCall*>(context);
            reportSyncFailure(*call->client, *call->error);
        },
        &call);
    ASSERT_TRUE(server.waitForRequests(1));
    client->close();

    const json properties =
        json::parse(gunzip(server.requests()[0].body))["batch"][0]["properties"];
    const json& frames = properties["$exception_list"][0]["stacktrace"]["frames"];
    auto pluginFrame = std::find_if(frames.begin(), frames.end(), [](const json& frame) {
        return frame.value("function", "") == "test_plugin_call";
    });
    ASSERT_NE(pluginFrame, frames.end()) << frames.dump();
    EXPECT_EQ((*pluginFrame)["package"], testplugin::kPath);
    EXPECT_EQ((*pluginFrame)["module"],
              std::filesystem::path(testplugin::kPath).filename().string());

    const json& images = properties["$debug_images"];
    auto pluginImage = std::find_if(images.begin(), images.end(), [](const json& image) {
        return image.value("code_file", "") == testplugin::kPath;
    });
    ASSERT_NE(pluginImage, images.end()) << images.dump();
    EXPECT_EQ((*pluginImage)["image_addr"], (*pluginFrame)["image_addr"]);
    EXPECT_EQ(lowerHexDigits((*pluginImage)["debug_id"]), testplugin::kUuidHex);
}

} // namespace
