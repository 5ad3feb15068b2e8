// The registry follows the loader from its records: a plugin opened since the last use is
// announced with the library it needs at the next use, and removed with it once closed; a library
// still opened on its own stays; one opened and closed between two uses is never announced; and
// the registry stays whole while other threads open and close libraries.
#include "platform/dyld/DyldImages.h"

#include "TestPlugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;
using platform::dyld::_dyld_register_func_for_add_image;
using platform::dyld::_dyld_register_func_for_remove_image;

namespace {

std::vector<std::string> added;
std::vector<std::string> removed;

std::string pathOf(const mach_header* header) {
    platform::dyld::DlInfo info{};
    return platform::dyld::dladdr(header, &info) != 0 ? info.dli_fname : "";
}

std::vector<std::string> registeredPaths() {
    std::vector<std::string> paths;
    for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
        paths.emplace_back(_dyld_get_image_name(index));
    }
    return paths;
}

bool registered(const std::string& path) {
    const auto paths = registeredPaths();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

std::vector<std::string> sorted(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

class FollowedObjects : public testing::Test {
protected:
    // Callbacks stay registered for the life of the process, which may run the suite again.
    static void SetUpTestSuite() {
        static std::once_flag registered;
        std::call_once(registered, [] {
            _dyld_register_func_for_add_image(
                [](const mach_header* header, std::intptr_t) { added.push_back(pathOf(header)); });
            _dyld_register_func_for_remove_image([](const mach_header* header, std::intptr_t) {
                removed.push_back(pathOf(header));
            });
        });
    }
    void SetUp() override {
        ASSERT_FALSE(registered(testplugin::kPath)) << "the plugin is not loaded at start";
        added.clear();
        removed.clear();
    }

    const std::vector<std::string> pluginAndHelper =
        sorted({testplugin::kPath, testplugin::kHelperPath});
};

TEST_F(FollowedObjects, APluginAndTheLibraryItNeedsComeAndGoWithItsHandles) {
    {
        testplugin::OpenedPlugin plugin;
        EXPECT_TRUE(registered(testplugin::kPath));
        EXPECT_TRUE(registered(testplugin::kHelperPath));
        EXPECT_EQ(sorted(added), pluginAndHelper);
        platform::dyld::DlInfo info{};
        ASSERT_NE(platform::dyld::dladdr(
                      reinterpret_cast<const void*>(
                          plugin.function<testplugin::CrashAt>("test_plugin_crash_at")),
                      &info),
                  0);
        EXPECT_EQ(std::string(info.dli_fname), testplugin::kPath);
        EXPECT_STREQ(info.dli_sname, "test_plugin_crash_at");
        {
            testplugin::OpenedPlugin again;
            EXPECT_TRUE(registered(testplugin::kPath));
        }
        EXPECT_TRUE(registered(testplugin::kPath)) << "one handle still holds the plugin";
        EXPECT_EQ(added.size(), 2u) << "a second handle maps nothing new";
        EXPECT_TRUE(removed.empty());
    }
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_FALSE(registered(testplugin::kHelperPath));
    EXPECT_EQ(sorted(removed), pluginAndHelper);
}

TEST_F(FollowedObjects, ALibraryStillOpenedOnItsOwnStaysListedWhenThePluginThatNeedsItCloses) {
    auto plugin = std::make_unique<testplugin::OpenedPlugin>();
    testplugin::OpenedPlugin helper(testplugin::kHelperPath);
    EXPECT_TRUE(registered(testplugin::kPath));
    plugin.reset();
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_EQ(removed, std::vector<std::string>{testplugin::kPath});
    const auto paths = registeredPaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), testplugin::kHelperPath), 1);
}

TEST_F(FollowedObjects, ALibraryOpenedAndClosedBetweenTwoUsesIsNeverAnnounced) {
    EXPECT_FALSE(registered(testplugin::kPath));
    { testplugin::OpenedPlugin plugin; }
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_TRUE(added.empty());
    EXPECT_TRUE(removed.empty());
}

TEST_F(FollowedObjects, UsesWhileAnotherThreadOpensAndClosesLibrariesSeeAWholeRegistry) {
    std::atomic<bool> done{false};
    std::thread opener([&] {
        while (!done.load()) {
            testplugin::OpenedPlugin plugin;
        }
    });
    for (int use = 0; use < 300; ++use) {
        platform::dyld::forEachImage([](const platform::dyld::ImageEntry& entry) {
            EXPECT_NE(platform::dyld::describeAddress(entry.header), std::nullopt) << entry.path;
        });
    }
    done.store(true);
    opener.join();
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_EQ(added.size(), removed.size());
}

} // namespace
