// May run at crash time: every routine in this file (a fixed table claimed with atomic flags,
// lookups of unchanging memory and overlays, fault-safe copies, mmap and mprotect).
#include "platform/mach/MachMemoryEntries.h"

#include "platform/mach/FaultSafeCopy.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/MemoryOverlays.h"
#include "platform/mach/UnchangingMemory.h"

#include <atomic>
#include <cstdint>
#include <sys/mman.h>

namespace platform::mach {
namespace {

// Entries live only between making and mapping them, so a few suffice for every thread.
constexpr mach_port_name_t kMemoryEntryCount = 64;

struct MemoryEntry {
    std::atomic<bool> inUse{false};
    // Written by the thread that claimed the entry, before it hands the name out.
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
};

MemoryEntry entries[kMemoryEntryCount];

MemoryEntry* entryNamed(mach_port_name_t name) {
    if (!isMemoryEntry(name)) {
        return nullptr;
    }
    MemoryEntry& entry = entries[name - kMachMemoryEntryPortBase];
    return entry.inUse.load(std::memory_order_acquire) ? &entry : nullptr;
}

mach_vm_address_t pageStart(mach_vm_address_t address) {
    return address & ~mach_vm_address_t{vm_page_mask};
}

int protectionFlags(vm_prot_t protection) {
    return ((protection & VM_PROT_READ) != 0 ? PROT_READ : 0) |
           ((protection & VM_PROT_WRITE) != 0 ? PROT_WRITE : 0) |
           ((protection & VM_PROT_EXECUTE) != 0 ? PROT_EXEC : 0);
}

void* pointerTo(mach_vm_address_t address) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

} // namespace

bool isMemoryEntry(mach_port_name_t name) {
    return name >= kMachMemoryEntryPortBase && name < kMachMemoryEntryPortBase + kMemoryEntryCount;
}

bool releaseMemoryEntry(mach_port_name_t name) {
    MemoryEntry* entry = entryNamed(name);
    if (entry == nullptr) {
        return false;
    }
    entry->inUse.store(false, std::memory_order_release);
    return true;
}

kern_return_t mach_make_memory_entry_64(vm_map_t target_task, memory_object_size_t* size,
                                        memory_object_offset_t offset, vm_prot_t permission,
                                        mach_port_t* object_handle,
                                        mem_entry_name_port_t /*parent_entry*/) {
    if (!isTaskSelf(target_task) || size == nullptr || object_handle == nullptr || *size == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if ((permission & ~VM_PROT_READ) != 0) {
        return KERN_PROTECTION_FAILURE;
    }
    mach_vm_address_t start = pageStart(offset);
    mach_vm_address_t end = offset + *size;
    if (end < offset || end > ~mach_vm_address_t{0} - vm_page_mask) {
        return KERN_INVALID_ADDRESS;
    }
    end = pageStart(end + vm_page_mask);
    // Unchanging memory was readable page by page when it was registered, and only unmapping
    // can take that away: an object unloaded behind the loader's back must fail here rather
    // than fault in its reader, and for that it is enough that every page is still mapped.
    std::size_t readable =
        isUnchangingMemory(start, end - start) && isWhollyMapped(pointerTo(start), end - start)
            ? end - start
            : readablePrefixLength(pointerTo(start), end - start);
    if (readable <= offset - start) {
        return KERN_INVALID_ADDRESS;
    }
    for (mach_port_name_t index = 0; index < kMemoryEntryCount; ++index) {
        MemoryEntry& entry = entries[index];
        if (entry.inUse.exchange(true, std::memory_order_acquire)) {
            continue;
        }
        entry.address = offset;
        entry.size = readable - (offset - start);
        *size = entry.size;
        *object_handle = kMachMemoryEntryPortBase + index;
        return KERN_SUCCESS;
    }
    return KERN_RESOURCE_SHORTAGE;
}

kern_return_t mach_vm_map(vm_map_t target_task, mach_vm_address_t* address, mach_vm_size_t size,
                          mach_vm_offset_t /*mask*/, int flags, mem_entry_name_port_t object,
                          memory_object_offset_t offset, boolean_t copy, vm_prot_t cur_protection,
                          vm_prot_t /*max_protection*/, vm_inherit_t /*inheritance*/) {
    MemoryEntry* entry = entryNamed(object);
    if (!isTaskSelf(target_task) || address == nullptr || entry == nullptr || !copy || size == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if (offset > entry->size || size > entry->size - offset) {
        return KERN_INVALID_ARGUMENT;
    }
    const mach_vm_address_t source = entry->address + offset;
    if ((flags & VM_FLAGS_ANYWHERE) != 0 && (source & vm_page_mask) == 0 &&
        (cur_protection & VM_PROT_WRITE) == 0 && isUnchangingMemory(source, size) &&
        !memoryOverlaysTouch(source, size)) {
        *address = source;
        return KERN_SUCCESS;
    }
    void* hint = nullptr;
    int mapFlags = MAP_PRIVATE | MAP_ANONYMOUS;
    if ((flags & VM_FLAGS_ANYWHERE) == 0) {
        hint = pointerTo(*address);
        mapFlags |= (flags & VM_FLAGS_OVERWRITE) != 0 ? MAP_FIXED : MAP_FIXED_NOREPLACE;
    }
    void* pages = mmap(hint, size, PROT_READ | PROT_WRITE, mapFlags, -1, 0);
    if (pages == MAP_FAILED) {
        return KERN_NO_SPACE;
    }
    if (faultSafeCopy(pages, pointerTo(source), size) != FaultSafeCopyResult::Copied) {
        munmap(pages, size);
        return KERN_INVALID_ADDRESS;
    }
    applyMemoryOverlays(source, size, pages);
    mprotect(pages, size, protectionFlags(cur_protection));
    *address = reinterpret_cast<std::uintptr_t>(pages);
    return KERN_SUCCESS;
}

} // namespace platform::mach
