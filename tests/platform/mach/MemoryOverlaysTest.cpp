// Overlays: the Mach memory calls show the overlay's bytes over the process's own, and only
// inside the overlay's range; the memory itself is never written.
#include "platform/mach/MemoryOverlays.h"
#include "platform/mach/MachMemoryEntries.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

using platform::mach::mach_make_memory_entry_64;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::mach_vm_map;
using platform::mach::mach_vm_read_overwrite;

namespace {

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

std::string readThroughKernel(const void* source, std::size_t length) {
    std::string copy(length, '\0');
    mach_vm_size_t copied = 0;
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), addressOf(source), length,
                                     addressOf(copy.data()), &copied),
              KERN_SUCCESS);
    return copy;
}

TEST(MemoryOverlays, ReadsAndMappingsSeeTheOverlayOnlyWhereItLies) {
    std::array<char, 16> memory{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
    static const char overlay[] = "XYZ";
    ASSERT_TRUE(platform::mach::addMemoryOverlay(addressOf(&memory[4]), overlay, 3));
    EXPECT_EQ(readThroughKernel(memory.data(), 16), "abcdXYZhijklmnop");
    EXPECT_EQ(readThroughKernel(&memory[5], 4), "YZhi") << "a read starting inside it";
    EXPECT_EQ(readThroughKernel(&memory[8], 4), "ijkl") << "a read beside it";
    EXPECT_EQ(memory[4], 'e') << "the memory itself is untouched";

    memory_object_size_t size = 16;
    mach_port_t entry = MACH_PORT_NULL;
    ASSERT_EQ(mach_make_memory_entry_64(mach_task_self(), &size, addressOf(memory.data()),
                                        VM_PROT_READ, &entry, MACH_PORT_NULL),
              KERN_SUCCESS);
    mach_vm_address_t mapped = 0;
    ASSERT_EQ(mach_vm_map(mach_task_self(), &mapped, 16, 0, VM_FLAGS_ANYWHERE, entry, 0, true,
                          VM_PROT_READ, VM_PROT_READ, VM_INHERIT_COPY),
              KERN_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped), 16), "abcdXYZhijklmnop");
    mach_vm_deallocate(mach_task_self(), mapped, 16);
    mach_port_deallocate(mach_task_self(), entry);

    static const char other[] = "Q";
    ASSERT_TRUE(platform::mach::addMemoryOverlay(addressOf(&memory[4]), other, 1));
    platform::mach::removeMemoryOverlay(addressOf(&memory[4]), overlay);
    EXPECT_EQ(readThroughKernel(memory.data(), 16), "abcdQfghijklmnop")
        << "another overlay at that address stays";
    platform::mach::removeMemoryOverlay(addressOf(&memory[4]), other);
    EXPECT_EQ(readThroughKernel(memory.data(), 16), "abcdefghijklmnop");
}

TEST(MemoryOverlays, EmptyAndWrappingRangesAreRefused) {
    static const char bytes[] = "x";
    EXPECT_FALSE(platform::mach::addMemoryOverlay(0x1000, bytes, 0));
    EXPECT_FALSE(platform::mach::addMemoryOverlay(~std::uint64_t{0} - 1, bytes, 4));
}

} // namespace
