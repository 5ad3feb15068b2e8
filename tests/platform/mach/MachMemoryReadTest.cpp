// Port names of threads and the kernel code for memory that is mapped but unreadable.
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include "GuardedPages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <unistd.h>

using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_read_overwrite;

TEST(MachMemoryRead, MappedButUnreadableMemoryIsAProtectionFailure) {
    GuardedPages pages;
    std::uint8_t buffer[4];
    mach_vm_size_t copied = 0;
    kern_return_t result = mach_vm_read_overwrite(
        mach_task_self(), reinterpret_cast<std::uintptr_t>(pages.inaccessible()), sizeof buffer,
        reinterpret_cast<std::uintptr_t>(buffer), &copied);
#if defined(__x86_64__)
    EXPECT_EQ(result, KERN_PROTECTION_FAILURE);
#else
    // The emulator reports inaccessible pages as absent.
    EXPECT_EQ(result, KERN_INVALID_ADDRESS);
#endif
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
