// May run at crash time: every routine in this file (system calls only).
#include "platform/mach/MachVirtualMemory.h"

#include "platform/mach/FaultSafeCopy.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MemoryOverlays.h"

#include <sys/auxv.h>
#include <sys/mman.h>

namespace platform::mach {

vm_size_t vm_page_size = 0;
vm_size_t vm_page_mask = 0;

namespace {

// Runs before any ordinary static initialiser, so every user sees the page size set.
[[gnu::constructor(101)]] void initialisePageSize() {
    vm_page_size = static_cast<vm_size_t>(getauxval(AT_PAGESZ));
    vm_page_mask = vm_page_size - 1;
}

} // namespace

kern_return_t mach_vm_read_overwrite(vm_map_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t* outsize) {
    using platform::mach::FaultSafeCopyResult;
    if (!platform::mach::isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    if (address + size < address) {
        return KERN_INVALID_ADDRESS;
    }
    auto* source = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
    auto* destination = reinterpret_cast<void*>(static_cast<std::uintptr_t>(data));
    switch (platform::mach::faultSafeCopy(destination, source, size)) {
    case FaultSafeCopyResult::Copied:
        platform::mach::applyMemoryOverlays(address, size, destination);
        if (outsize != nullptr) {
            *outsize = size;
        }
        return KERN_SUCCESS;
    case FaultSafeCopyResult::SourceUnreadable: {
        auto* firstUnreadable =
            static_cast<const char*>(source) + platform::mach::readablePrefixLength(source, size);
        return platform::mach::isMapped(firstUnreadable) ? KERN_PROTECTION_FAILURE
                                                         : KERN_INVALID_ADDRESS;
    }
    case FaultSafeCopyResult::DestinationUnwritable:
        return KERN_INVALID_ADDRESS;
    case FaultSafeCopyResult::NoResources:
        break;
    }
    return KERN_RESOURCE_SHORTAGE;
}

kern_return_t mach_vm_allocate(vm_map_t task, mach_vm_address_t* address, mach_vm_size_t size,
                               int flags) {
    if (!platform::mach::isTaskSelf(task) || address == nullptr || size == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    void* hint = nullptr;
    int mapFlags = MAP_PRIVATE | MAP_ANONYMOUS;
    if ((flags & VM_FLAGS_ANYWHERE) == 0) {
        hint = reinterpret_cast<void*>(static_cast<std::uintptr_t>(*address));
        mapFlags |= MAP_FIXED_NOREPLACE;
    }
    void* pages = mmap(hint, size, PROT_READ | PROT_WRITE, mapFlags, -1, 0);
    if (pages == MAP_FAILED) {
        return KERN_NO_SPACE;
    }
    *address = reinterpret_cast<std::uintptr_t>(pages);
    return KERN_SUCCESS;
}

kern_return_t mach_vm_deallocate(vm_map_t task, mach_vm_address_t address, mach_vm_size_t size) {
    if (!platform::mach::isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    if (size == 0) {
        return KERN_SUCCESS;
    }
    return munmap(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size) == 0
               ? KERN_SUCCESS
               : KERN_INVALID_ARGUMENT;
}

} // namespace platform::mach
