// Mappings of the own task's unchanging memory are the pages themselves; everything else, and
// everything an overlay shows other bytes for, is a copy.
#include "platform/mach/UnchangingMemory.h"

#include "GuardedPages.h"
#include "platform/mach/MachMemoryEntries.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/MemoryOverlays.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sys/mman.h>

using platform::mach::mach_make_memory_entry_64;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::mach_vm_map;
using platform::mach::vm_page_size;

namespace {

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// Where mach_vm_map puts a copy-on-write mapping of [address, address + size); 0 on failure.
std::uint64_t mapAnywhere(std::uint64_t address, std::uint64_t size) {
    memory_object_size_t granted = size;
    mach_port_t entry = MACH_PORT_NULL;
    if (mach_make_memory_entry_64(mach_task_self(), &granted, address, VM_PROT_READ, &entry,
                                  MACH_PORT_NULL) != KERN_SUCCESS) {
        return 0;
    }
    mach_vm_address_t mapping = 0;
    kern_return_t result = mach_vm_map(mach_task_self(), &mapping, size, 0, VM_FLAGS_ANYWHERE,
                                       entry, 0, true, VM_PROT_READ, VM_PROT_READ, VM_INHERIT_COPY);
    mach_port_deallocate(mach_task_self(), entry);
    return result == KERN_SUCCESS ? mapping : 0;
}

class ReadOnlyPages {
public:
    ReadOnlyPages() {
        void* pages = mmap(nullptr, 3 * vm_page_size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<std::uint8_t*>(pages);
        for (std::size_t index = 0; index < 3 * vm_page_size; ++index) {
            base_[index] = static_cast<std::uint8_t>(index * 7);
        }
        mprotect(base_, 3 * vm_page_size, PROT_READ);
    }
    ~ReadOnlyPages() { munmap(base_, 3 * vm_page_size); }
    std::uint64_t page(std::size_t index) const { return addressOf(base_ + index * vm_page_size); }

private:
    std::uint8_t* base_;
};

TEST(UnchangingMemory, RegisteredPagesMapInPlaceAndEverythingElseIsACopy) {
    ReadOnlyPages pages;
    // Registered by a range inside its pages: the whole pages count.
    ASSERT_TRUE(platform::mach::addUnchangingMemory(pages.page(0) + 100, 2 * vm_page_size - 200));
    EXPECT_EQ(mapAnywhere(pages.page(0), 2 * vm_page_size), pages.page(0));
    EXPECT_EQ(mapAnywhere(pages.page(1), vm_page_size), pages.page(1));

    const struct {
        const char* what;
        std::uint64_t address;
        std::uint64_t size;
    } copies[] = {
        {"runs past the registered pages", pages.page(1), 2 * vm_page_size},
        {"was never registered", pages.page(2), vm_page_size},
    };
    for (const auto& copy : copies) {
        const std::uint64_t mapping = mapAnywhere(copy.address, copy.size);
        ASSERT_NE(mapping, 0u) << copy.what;
        EXPECT_NE(mapping, copy.address) << copy.what;
        EXPECT_EQ(*reinterpret_cast<const std::uint8_t*>(mapping + 5),
                  *reinterpret_cast<const std::uint8_t*>(copy.address + 5))
            << copy.what;
        mach_vm_deallocate(mach_task_self(), mapping, copy.size);
    }

    const std::uint8_t overlay[] = {0xAB};
    ASSERT_TRUE(platform::mach::addMemoryOverlay(pages.page(0) + 5, overlay, 1));
    const std::uint64_t overlaid = mapAnywhere(pages.page(0), vm_page_size);
    platform::mach::removeMemoryOverlay(pages.page(0) + 5, overlay);
    ASSERT_NE(overlaid, 0u);
    EXPECT_NE(overlaid, pages.page(0)) << "overlaid bytes are shown in a copy";
    EXPECT_EQ(*reinterpret_cast<const std::uint8_t*>(overlaid + 5), 0xAB);
    mach_vm_deallocate(mach_task_self(), overlaid, vm_page_size);

    platform::mach::removeUnchangingMemory(pages.page(0) + 100);
    const std::uint64_t removed = mapAnywhere(pages.page(0), vm_page_size);
    EXPECT_NE(removed, pages.page(0));
    mach_vm_deallocate(mach_task_self(), removed, vm_page_size);
}

TEST(UnchangingMemory, UnreadableEmptyAndWrappingRangesAreRefused) {
    GuardedPages pages;
    EXPECT_FALSE(platform::mach::addUnchangingMemory(addressOf(pages.readable()),
                                                     2 * GuardedPages::pageSize()));
    EXPECT_FALSE(platform::mach::addUnchangingMemory(addressOf(pages.unmapped()), 1));
    EXPECT_FALSE(platform::mach::addUnchangingMemory(addressOf(pages.readable()), 0));
    EXPECT_FALSE(platform::mach::addUnchangingMemory(~std::uint64_t{0} - 1, 4));
    EXPECT_FALSE(platform::mach::isUnchangingMemory(addressOf(pages.readable()), 1));
}

} // namespace
