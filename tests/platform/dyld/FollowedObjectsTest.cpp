// The registry follows dlopen and dlclose: a plugin opened after the registry's first use is
// announced with the library it needs before dlopen returns, and removed while still mapped
// when it is closed for good; a library opened on its own stays; a library the loader keeps
// after all comes back, and is not removed again when other libraries close; and a child forked
// while another thread opens libraries can open them too.
#include "platform/dyld/DyldImages.h"

#include "ForkedChild.h"
#include "TestPlugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <link.h>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

struct Change {
    std::string path;
    // For a removal: whether the loader still listed the object when the callback ran.
    bool mapped;
};

std::vector<Change> added;
std::vector<Change> removed;

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

std::vector<std::string> pathsOf(const std::vector<Change>& changes) {
    std::vector<std::string> paths;
    for (const auto& change : changes) {
        paths.push_back(change.path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

class FollowedObjects : public testing::Test {
protected:
    // Callbacks stay registered for the life of the process, which may run the suite again.
    static void SetUpTestSuite() {
        static std::once_flag registered;
        std::call_once(registered, [] {
            _dyld_register_func_for_add_image([](const mach_header* header, std::intptr_t) {
                added.push_back({pathOf(header), true});
            });
            _dyld_register_func_for_remove_image([](const mach_header* header, std::intptr_t) {
                const std::string path = pathOf(header);
                removed.push_back({path, testplugin::loaderLists(path)});
            });
        });
    }
    void SetUp() override {
        ASSERT_FALSE(registered(testplugin::kPath)) << "the plugin is not loaded at start";
        added.clear();
        removed.clear();
    }

    const std::vector<std::string> pluginAndHelper =
        std::vector<std::string>{testplugin::kPath, testplugin::kHelperPath};
    std::vector<std::string> sorted(std::vector<std::string> paths) const {
        std::sort(paths.begin(), paths.end());
        return paths;
    }
};

TEST_F(FollowedObjects, APluginAndTheLibraryItNeedsComeAndGoWithItsHandles) {
    {
        testplugin::OpenedPlugin plugin;
        EXPECT_EQ(pathsOf(added), sorted(pluginAndHelper)) << "announced before dlopen returned";
        EXPECT_TRUE(registered(testplugin::kPath));
        EXPECT_TRUE(registered(testplugin::kHelperPath));
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
            EXPECT_EQ(added.size(), 2u) << "a second handle maps nothing new";
        }
        EXPECT_TRUE(removed.empty()) << "one handle still holds the plugin";
        EXPECT_TRUE(registered(testplugin::kPath));
    }
    EXPECT_EQ(pathsOf(removed), sorted(pluginAndHelper));
    for (const auto& change : removed) {
        EXPECT_TRUE(change.mapped) << change.path << " was removed only after it was unmapped";
    }
    EXPECT_FALSE(testplugin::loaderLists(testplugin::kPath)) << "the loader did unmap it";
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_FALSE(registered(testplugin::kHelperPath));
}

TEST_F(FollowedObjects, ALibraryStillOpenedOnItsOwnStaysListedWhenThePluginThatNeedsItCloses) {
    auto plugin = std::make_unique<testplugin::OpenedPlugin>();
    testplugin::OpenedPlugin helper(testplugin::kHelperPath);
    plugin.reset();
    EXPECT_EQ(pathsOf(removed), std::vector<std::string>{testplugin::kPath})
        << "the library opened on its own was never about to leave";
    EXPECT_FALSE(registered(testplugin::kPath));
    EXPECT_TRUE(testplugin::loaderLists(testplugin::kHelperPath));
    EXPECT_TRUE(registered(testplugin::kHelperPath));
    const auto paths = registeredPaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), testplugin::kHelperPath), 1);
}

TEST_F(FollowedObjects, ALibraryTheLoaderNeverUnmapsIsNotRemovedWhenOtherLibrariesClose) {
    { testplugin::OpenedPlugin kept(TEST_SEARCH_RPATH_CALLER_PATH, RTLD_NOW | RTLD_NODELETE); }
    ASSERT_TRUE(testplugin::loaderLists(TEST_SEARCH_RPATH_CALLER_PATH));
    EXPECT_TRUE(registered(TEST_SEARCH_RPATH_CALLER_PATH))
        << "announced again once the loader kept it";
    removed.clear();
    { testplugin::OpenedPlugin plugin; }
    EXPECT_EQ(pathsOf(removed), sorted(pluginAndHelper));
    EXPECT_TRUE(registered(TEST_SEARCH_RPATH_CALLER_PATH));
}

constexpr int kForks = 20;
constexpr unsigned kChildGuardSeconds = 20;

TEST_F(FollowedObjects, AChildForkedWhileAnotherThreadOpensLibrariesOpensThemToo) {
    std::atomic<bool> done{false};
    std::atomic<int> openings{0};
    std::thread opener([&] {
        while (!done.load()) {
            testplugin::OpenedPlugin plugin;
            openings.fetch_add(1);
        }
    });
    while (openings.load() == 0) {
        std::this_thread::yield();
    }
    for (int fork = 0; fork < kForks; ++fork) {
        const int status = runInForkedChild(
            [] {
                testplugin::OpenedPlugin plugin;
                _exit(registered(testplugin::kPath) ? 0 : 1);
            },
            kChildGuardSeconds);
        ASSERT_TRUE(WIFEXITED(status)) << "fork " << fork << " ended by signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        ASSERT_EQ(WEXITSTATUS(status), 0) << "fork " << fork;
    }
    done.store(true);
    opener.join();
}

} // namespace
