// Which objects a dlclose may unmap: only once the last opening of a handle is closed, never
// those a handle still open owns (mapped or needs), and those the loader kept are no candidates
// of later closes.
#include "platform/dyld/OpenHandles.h"

#include <gtest/gtest.h>

namespace {

using Objects = std::set<std::uint64_t>;

void* handle(int number) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(number) * 16);
}

TEST(OpenHandles, OnlyTheLastClosingOfAHandleLetsItsObjectsGo) {
    platform::dyld::OpenHandles handles;
    handles.opened(handle(1), {0x1000, 0x2000}, {0x1000, 0x2000});
    handles.opened(handle(1), {}, {0x1000, 0x2000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{});
    EXPECT_EQ(handles.closing(handle(1)), (Objects{0x1000, 0x2000}));
}

TEST(OpenHandles, ALibraryAnotherHandleNeedsOrNamesStaysUntilThatHandleCloses) {
    platform::dyld::OpenHandles handles;
    // The plugin maps the library it needs; a second plugin needs it too and maps only itself;
    // the library is opened by name as well. The start-up libraries they need belong to none.
    handles.opened(handle(1), {0x1000, 0x2000}, {0x1000, 0x2000, 0x9000});
    handles.opened(handle(2), {0x3000}, {0x3000, 0x2000, 0x9000});
    handles.opened(handle(3), {}, {0x2000, 0x9000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{0x1000});
    handles.closed({0x2000, 0x3000, 0x9000});
    EXPECT_EQ(handles.closing(handle(3)), Objects{});
    handles.closed({0x2000, 0x3000, 0x9000});
    EXPECT_EQ(handles.closing(handle(2)), (Objects{0x2000, 0x3000}));
    handles.closed({0x9000});
    EXPECT_EQ(handles.closing(handle(9)), Objects{}) << "a handle never seen frees nothing known";
}

TEST(OpenHandles, AnObjectTheLoaderKeptIsNoCandidateOfLaterCloses) {
    platform::dyld::OpenHandles handles;
    handles.opened(handle(1), {0x1000}, {0x1000});
    handles.opened(handle(2), {0x2000}, {0x2000});
    handles.opened(handle(3), {0x3000}, {0x3000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{0x1000});
    handles.closed({0x1000, 0x2000, 0x3000});
    EXPECT_EQ(handles.closing(handle(2)), Objects{0x2000});
    handles.closed({0x1000, 0x3000});
    // Opened again, the kept object is its new handle's to let go.
    handles.opened(handle(1), {}, {0x1000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{0x1000});
}

TEST(OpenHandles, AnObjectMappedAgainBelongsToItsNewHandle) {
    platform::dyld::OpenHandles handles;
    handles.opened(handle(1), {0x1000}, {0x1000});
    handles.opened(handle(2), {0x2000}, {0x2000});
    EXPECT_EQ(handles.closing(handle(1)), Objects{0x1000});
    handles.closed({0x2000});
    // Unmapped, then another library mapped at the same place by another dlopen.
    handles.opened(handle(3), {0x1000}, {0x1000});
    EXPECT_EQ(handles.closing(handle(2)), Objects{0x2000});
}

} // namespace
