// An application linked with the client opens a plugin by its bare name, found along the
// application's own run path: the client's dlopen stands between the two and must not hide that
// path from the loader.
#include "platform/dyld/DyldImages.h"

#include "TestPlugin.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(PluginSearch, ABareNameIsFoundAlongTheApplicationsRunPathAndAnnounced) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own dlopen hides the application's run path, client or not";
#endif
    const std::string name = std::filesystem::path(testplugin::kPath).filename().string();
    testplugin::OpenedPlugin plugin(name);
    platform::dyld::DlInfo info{};
    ASSERT_NE(platform::dyld::dladdr(reinterpret_cast<const void*>(
                                         plugin.function<testplugin::Call>("test_plugin_call")),
                                     &info),
              0);
    EXPECT_EQ(std::filesystem::canonical(info.dli_fname),
              std::filesystem::canonical(testplugin::kPath));
}

TEST(PluginSearch, ANameFoundNowhereKeepsTheLoadersOwnError) {
    EXPECT_EQ(dlopen("libnowhere-to-be-found.so", RTLD_NOW), nullptr);
    const char* error = dlerror();
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find("libnowhere-to-be-found.so"), std::string::npos) << error;
}

} // namespace
