#include "platform/userdefaults/UserDefaults.h"
#include "platform/bundle/Bundle.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using platform::UserDefaults;

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    nlohmann::json fileContents() const {
        return nlohmann::json::parse(testsupport::readFile(file));
    }

    testsupport::TemporaryDirectory temporary;
    const fs::path root = temporary.path();
    const fs::path file = root / "com.example.tabs.json";
};

} // namespace

TEST_F(UserDefaultsTest, EveryChangeIsOnDiskAtOnceAndReadsBackTyped) {
    {
        UserDefaults defaults(file);
        defaults.setString("ZOZVersionKey", "2.4.1");
        defaults.setInteger("Count", -7);
        defaults.setDouble("Sensitivity", 0.25);
        defaults.setBool("Enabled", true);
        defaults.setObject("Frame", {{"x", 10}, {"y", 20}});
        defaults.setString("Dropped", "soon");
        defaults.removeObjectForKey("Dropped");
        EXPECT_EQ(fileContents(), (nlohmann::json{{"ZOZVersionKey", "2.4.1"},
                                                  {"Count", -7},
                                                  {"Sensitivity", 0.25},
                                                  {"Enabled", true},
                                                  {"Frame", {{"x", 10}, {"y", 20}}}}));
    }
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.stringForKey("ZOZVersionKey"), "2.4.1");
    EXPECT_EQ(reopened.integerForKey("Count"), -7);
    EXPECT_EQ(reopened.doubleForKey("Sensitivity"), 0.25);
    EXPECT_EQ(reopened.doubleForKey("Count"), -7.0);
    EXPECT_EQ(reopened.boolForKey("Enabled"), true);
    EXPECT_EQ(reopened.objectForKey("Frame"), (nlohmann::json{{"x", 10}, {"y", 20}}));
    EXPECT_EQ(testsupport::entryNames(root), std::set<std::string>{"com.example.tabs.json"})
        << "the temporary files of the replacements are gone";
}

TEST_F(UserDefaultsTest, ValuesOfAnotherTypeReadAsNothing) {
    UserDefaults defaults(file);
    defaults.setInteger("ZOZBuildKeyV2", 42);
    defaults.setString("Text", "42");
    defaults.setBool("Flag", false);
    defaults.setObject("Huge", std::uint64_t(1) << 63);
    EXPECT_FALSE(defaults.stringForKey("ZOZBuildKeyV2"));
    EXPECT_FALSE(defaults.integerForKey("Text"));
    EXPECT_FALSE(defaults.integerForKey("Flag"));
    EXPECT_FALSE(defaults.integerForKey("Huge")) << "does not fit a signed 64-bit integer";
    EXPECT_FALSE(defaults.objectForKey("Missing"));
}

TEST_F(UserDefaultsTest, AnUnparsableFileStartsEmptyAndIsKeptBesideTheFirstChange) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"truncated\": ", ".corrupt"}, {"[1, 2]", ".corrupt-2"}, {"\"text\"", ".corrupt-3"}};
    for (const auto& [contents, keptAs] : cases) {
        testsupport::writeFile(file, contents);
        UserDefaults defaults(file);
        EXPECT_FALSE(defaults.objectForKey("truncated")) << contents;
        defaults.setString("Fresh", "yes");
        EXPECT_EQ(fileContents(), (nlohmann::json{{"Fresh", "yes"}})) << contents;
        EXPECT_EQ(testsupport::readFile(file.string() + keptAs), contents);
    }
}

TEST_F(UserDefaultsTest, AFileLinkedFromElsewhereStaysLinked) {
    const fs::path kept = root / "dotfiles" / "tabs.json";
    fs::create_directories(kept.parent_path());
    for (const char* contents : {R"({"Old": 1})", "{\"cut\": "}) {
        testsupport::writeFile(kept, contents);
        fs::remove(file);
        fs::create_symlink(kept, file);
        UserDefaults(file).setString("Fresh", "yes");
        EXPECT_TRUE(fs::is_symlink(file)) << contents;
        EXPECT_EQ(fileContents()["Fresh"], "yes") << contents;
    }
    EXPECT_EQ(testsupport::readFile(kept.string() + ".corrupt"), "{\"cut\": ");
}

TEST_F(UserDefaultsTest, AFailedWriteKeepsTheValueAndSynchronizeWritesItLater) {
    // A file where the folder should be makes every write fail, also for root.
    const auto blocker = root / "config";
    const auto blocked = blocker / "nested" / "defaults.json";
    testsupport::writeFile(blocker, "in the way");
    UserDefaults defaults(blocked);
    EXPECT_TRUE(defaults.synchronize()) << "nothing to write";

    defaults.setString("ZOZBuildKeyV2", "42");
    EXPECT_EQ(defaults.stringForKey("ZOZBuildKeyV2"), "42");
    EXPECT_FALSE(defaults.synchronize());

    fs::remove(blocker);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(nlohmann::json::parse(testsupport::readFile(blocked)),
              (nlohmann::json{{"ZOZBuildKeyV2", "42"}}));
    EXPECT_TRUE(defaults.synchronize());
}

TEST_F(UserDefaultsTest, ConcurrentChangesAllReachTheFile) {
    UserDefaults defaults(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&defaults, t] {
            for (int i = 0; i < 25; ++i) {
                defaults.setInteger("key-" + std::to_string(t) + "-" + std::to_string(i), i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto contents = fileContents();
    EXPECT_EQ(contents.size(), 100u);
    EXPECT_EQ(contents["key-3-24"], 24);
    EXPECT_EQ(testsupport::entryNames(root).size(), 1u);
}

TEST_F(UserDefaultsTest, StandardLivesInTheConfigHomeUnderTheBundleIdentifier) {
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", root.c_str(), 1), 0);
    EXPECT_EQ(UserDefaults::standardFilePath(), root / "platform_userdefaults_tests.json")
        << "the executable name stands in until an identifier is set";
    platform::Bundle::main().setBundleIdentifier("com.example.tabs");
    EXPECT_EQ(UserDefaults::standardFilePath(), file);

    UserDefaults::standard().setString("ZOZVersionKey", "1.0");
    EXPECT_EQ(fileContents(), (nlohmann::json{{"ZOZVersionKey", "1.0"}}));
    EXPECT_EQ(&UserDefaults::standard(), &UserDefaults::standard());

    platform::Bundle::main().setBundleIdentifier("../escape");
    EXPECT_EQ(UserDefaults::standardFilePath().parent_path(), root);
}
