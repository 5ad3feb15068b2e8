// The user-defaults file as a launch may find it. Each case runs in a process of
// its own, and each launch in a child of it: the defaults' path and the install
// check are fixed once per process (a child of a process that did the check
// would inherit it), and a read that blocks must fail the case rather than hang
// the suite.
#include "DavaRor/DavaRorSDK.h"
#include "platform/bundle/Bundle.h"
#include "platform/userdefaults/UserDefaults.h"

#include "ForkedChild.h"
#include "FreshProcess.h"
#include "support/Files.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"
#include "support/WithoutFileOverride.h"

#include <gtest/gtest.h>

#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class DefaultsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        fs::create_directories(file.parent_path());
        platform::Bundle::main().setBundleIdentifier("com.example.defaults");
        platform::Bundle::main().setVersion("241");
    }

    // Whether a launch with life-cycle capture reported an install, in the
    // child's exit status; any other event is a failure.
    bool launchReportsInstall(bool withoutFileAccessOverride = false) {
        const int status = runInForkedChild(
            [&] {
                // Deep values written out with indents once made files of
                // gigabytes: a regression ends the child, not the disk.
                const rlimit fileSize{1 << 20, 1 << 20};
                setrlimit(RLIMIT_FSIZE, &fileSize);
                std::optional<testsupport::WithoutFileOverride> modesBindRoot;
                if (withoutFileAccessOverride && !modesBindRoot.emplace().dropped()) {
                    _exit(3);
                }
                auto config = testsupport::quietConfig("key");
                config->captureApplicationLifecycleEvents = true;
                auto client = DavaRorSDK::create();
                testsupport::EventRecorder recorder(*client);
                client->setup(config);
                const auto names = recorder.names();
                const bool installed = names == std::vector<std::string>{"Application Installed"};
                _exit(installed ? 1 : names.empty() ? 0 : 2);
            },
            60);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }

    testsupport::TemporaryDirectory home;
    const fs::path file = home.path() / "config" / "com.example.defaults.json";
};

} // namespace

TEST_F(DefaultsFileTest, WhatCannotBeReadIsLeftAsItIsAndReportsNoInstall) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(launchReportsInstall());
    EXPECT_TRUE(fs::is_fifo(file));

    fs::remove(file);
    const std::string stored = R"({"ZOZBuildKeyV2": "240", "AppKey": "kept"})";
    testsupport::writeFile(file, stored);
    fs::permissions(file, fs::perms::none);
    EXPECT_FALSE(launchReportsInstall(true));
    EXPECT_EQ(testsupport::readFile(file), stored);
    EXPECT_EQ(testsupport::entryNames(file.parent_path()), std::set<std::string>{file.filename()});
}

TEST_F(DefaultsFileTest, WhatCannotBeParsedIsKeptBesideACompactNewFile) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    std::string many = "{\"many\": [0";
    for (int value = 0; value < 500'000; ++value) {
        many += ",0";
    }
    many += "]}";
    for (const std::string& planted :
         {std::string("{\"cut\": "), "{\"deep\": " + deep + "}", many}) {
        SCOPED_TRACE(planted.substr(0, 20));
        fs::remove(file.string() + ".corrupt");
        testsupport::writeFile(file, planted);
        EXPECT_TRUE(launchReportsInstall());
        EXPECT_EQ(testsupport::readFile(file), R"({"ZOZBuildKeyV2":"241"})");
        EXPECT_TRUE(testsupport::readFile(file.string() + ".corrupt") == planted);
    }
}

TEST_F(DefaultsFileTest, ABadByteInAStoredTextReadsAsAReplacementAndTheFileStays) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const std::string stored = "{\"ZOZBuildKeyV2\": \"241\", \"Name\": \"caf\xE9\"}";
    testsupport::writeFile(file, stored);
    EXPECT_FALSE(launchReportsInstall());
    EXPECT_EQ(testsupport::readFile(file), stored);
    EXPECT_EQ(platform::UserDefaults(file).stringForKey("Name"), "caf\xEF\xBF\xBD");
}
