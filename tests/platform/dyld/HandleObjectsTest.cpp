// A handle keeps its own object and the libraries that object needs: where two loaded objects
// share a soname, the handle's own object is the one it was opened for.
#include "platform/dyld/HandleObjects.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <dlfcn.h>
#include <link.h>
#include <memory>

namespace {

using Handle = std::unique_ptr<void, int (*)(void*)>;

Handle opened(const char* path) {
    return Handle(dlopen(path, RTLD_NOW), &dlclose);
}

std::uint64_t headerOf(void* handle, const char* symbol) {
    Dl_info info{};
    dladdr(dlsym(handle, symbol), &info);
    return reinterpret_cast<std::uint64_t>(info.dli_fbase);
}

TEST(HandleObjects, AHandleKeepsItsOwnObjectAmongThoseSharingItsSoname) {
    const Handle system = opened(TEST_SEARCHED_SYSTEM_PATH);
    const Handle bundled = opened(TEST_SEARCHED_BUNDLED_PATH);
    ASSERT_TRUE(system && bundled) << dlerror();
    const auto kept = platform::dyld::objectsKeptBy(bundled.get());
    EXPECT_TRUE(kept.contains(headerOf(bundled.get(), "test_searched_copy")));
    EXPECT_FALSE(kept.contains(headerOf(system.get(), "test_searched_copy")));
}

TEST(HandleObjects, AHandleKeepsTheLibrariesItsObjectNeeds) {
    const Handle plugin = opened(TEST_PLUGIN_PATH);
    const Handle helper = opened(TEST_PLUGIN_HELPER_PATH);
    ASSERT_TRUE(plugin && helper) << dlerror();
    const auto kept = platform::dyld::objectsKeptBy(plugin.get());
    Dl_info info{};
    link_map* helperMap = nullptr;
    ASSERT_EQ(dlinfo(helper.get(), RTLD_DI_LINKMAP, &helperMap), 0);
    ASSERT_NE(dladdr(reinterpret_cast<void*>(helperMap->l_ld), &info), 0);
    EXPECT_TRUE(kept.contains(reinterpret_cast<std::uint64_t>(info.dli_fbase)));
}

} // namespace
