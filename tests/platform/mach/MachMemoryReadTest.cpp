// The Mach memory and port calls the crash reporter reads real memory and threads with.
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include "GuardedPages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <unistd.h>

namespace {

kern_return_t readInto(task_t task, const void* address, void* buffer, std::size_t length) {
    mach_vm_size_t copied = 0;
    return mach_vm_read_overwrite(task, reinterpret_cast<std::uintptr_t>(address), length,
                                  reinterpret_cast<std::uintptr_t>(buffer), &copied);
}

} // namespace

TEST(MachMemoryRead, KernelCodesTellUnmappedFromProtectedMemory) {
    GuardedPages pages;
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(readInto(mach_task_self(), pages.readable(), buffer, sizeof buffer), KERN_SUCCESS);
    EXPECT_EQ(buffer[15], GuardedPages::patternByte(15));
    EXPECT_EQ(readInto(mach_task_self(), nullptr, buffer, 4), KERN_INVALID_ADDRESS);
    EXPECT_EQ(readInto(mach_task_self(), pages.unmapped(), buffer, 4), KERN_INVALID_ADDRESS);
#if defined(__x86_64__)
    EXPECT_EQ(readInto(mach_task_self(), pages.inaccessible(), buffer, 4), KERN_PROTECTION_FAILURE);
#else
    // The emulator reports inaccessible pages as absent, so only "not readable" is certain.
    EXPECT_NE(readInto(mach_task_self(), pages.inaccessible(), buffer, 4), KERN_SUCCESS);
#endif
    EXPECT_EQ(readInto(mach_task_self() + 1, pages.readable(), buffer, 4), KERN_INVALID_ARGUMENT);
}

TEST(MachMemoryRead, PageSizeIsTheKernelsAndItsMaskMatches) {
    EXPECT_EQ(vm_page_size, static_cast<vm_size_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(vm_page_mask, vm_page_size - 1);
}

TEST(MachPorts, EachThreadIsNamedByItsKernelThreadId) {
    mach_port_t own = mach_thread_self();
    EXPECT_EQ(own, static_cast<mach_port_t>(gettid()));
    mach_port_t other = MACH_PORT_NULL;
    std::thread([&] { other = mach_thread_self(); }).join();
    EXPECT_NE(own, other);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), own), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), kMachMessagePortBase + 5), KERN_INVALID_NAME);
}
