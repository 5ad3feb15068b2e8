// Which objects a dlclose may unmap: only once the last opening of a handle is closed, never
// those a handle still open mapped, and those the loader kept stay candidates until it unmaps
// them.
#include "platform/dyld/OpenHandles.h"

#include <gtest/gtest.h>

namespace {

using Objects = std::set<std::uint64_t>;

void* handle(int number) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(number) * 16);
}

TEST(OpenHandles, OnlyTheLastClosingOfAHandleLetsItsObjectsGo) {
    platform::dyld::OpenHandles handles;
    handles.opened(handle(1), {0x1000, 0x2000});
    handles.opened(handle(1), {});
    EXPECT_EQ(handles.closing(handle(1)), Objects{});
    EXPECT_EQ(handles.closing(handle(1)), (Objects{0x1000, 0x2000}));
}

TEST(OpenHandles, ObjectsTheLoaderKeptStayCandidatesUntilItUnmapsThem) {
    platform::dyld::OpenHandles handles;
    // The plugin maps the library it needs; a second plugin needs it too and maps only itself.
    handles.opened(handle(1), {0x1000, 0x2000});
    handles.opened(handle(2), {0x3000});
    EXPECT_EQ(handles.closing(handle(1)), (Objects{0x1000, 0x2000}));
    handles.closed({0x2000, 0x3000});
    EXPECT_EQ(handles.closing(handle(2)), (Objects{0x2000, 0x3000}));
    handles.closed({});
    handles.opened(handle(3), {0x4000});
    EXPECT_EQ(handles.closing(handle(9)), Objects{}) << "a handle never seen frees nothing known";
}

TEST(OpenHandles, AnObjectMappedAgainBelongsToItsNewHandle) {
    platform::dyld::OpenHandles handles;
    handles.opened(handle(1), {0x1000});
    handles.opened(handle(2), {0x2000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{0x1000});
    handles.closed({0x1000, 0x2000});
    // Kept by the loader, then closed and mapped anew at the same place by another dlopen.
    handles.opened(handle(3), {0x1000});
    EXPECT_EQ(handles.closing(handle(2)), Objects{0x2000});
}

} // namespace
