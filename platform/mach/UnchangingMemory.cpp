// May run at crash time: everything in this file (the readability probe and the table's atomics).
#include "platform/mach/UnchangingMemory.h"

#include "platform/mach/FaultSafeCopy.h"
#include "platform/mach/MachVirtualMemory.h"

#include <atomic>
#include <cstdint>

namespace platform::mach {
namespace {

// A few segments and a symbol table per loaded object, with room to spare.
constexpr int kRangeCount = 1024;

enum SlotState : int { Free, Claimed, Published };

struct UnchangingRange {
    std::atomic<int> state{Free};
    // Atomic because a query may read a slot while it is being reused. The registered address
    // is the one the range is removed by.
    std::atomic<mach_vm_address_t> key{0};
    std::atomic<mach_vm_address_t> start{0};
    std::atomic<mach_vm_address_t> end{0};
};

UnchangingRange ranges[kRangeCount];
// Slots at and above this index have never been used: the query stops there.
std::atomic<int> slotsInUse{0};

} // namespace

bool addUnchangingMemory(mach_vm_address_t address, mach_vm_size_t length) {
    const mach_vm_address_t start = address & ~mach_vm_address_t{vm_page_mask};
    if (length == 0 || address + length < address ||
        address + length > ~mach_vm_address_t{0} - vm_page_mask) {
        return false;
    }
    const mach_vm_address_t end =
        (address + length + vm_page_mask) & ~mach_vm_address_t{vm_page_mask};
    const auto* first = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(start));
    if (readablePrefixLength(first, end - start) != end - start) {
        return false;
    }
    for (int index = 0; index < kRangeCount; ++index) {
        UnchangingRange& range = ranges[index];
        int expected = Free;
        if (!range.state.compare_exchange_strong(expected, Claimed, std::memory_order_acquire)) {
            continue;
        }
        range.key.store(address, std::memory_order_relaxed);
        range.start.store(start, std::memory_order_relaxed);
        range.end.store(end, std::memory_order_relaxed);
        int inUse = slotsInUse.load(std::memory_order_relaxed);
        while (inUse <= index &&
               !slotsInUse.compare_exchange_weak(inUse, index + 1, std::memory_order_release)) {
        }
        range.state.store(Published, std::memory_order_release);
        return true;
    }
    return false;
}

void removeUnchangingMemory(mach_vm_address_t address) {
    const int inUse = slotsInUse.load(std::memory_order_acquire);
    for (int index = 0; index < inUse; ++index) {
        UnchangingRange& range = ranges[index];
        if (range.state.load(std::memory_order_acquire) == Published &&
            range.key.load(std::memory_order_relaxed) == address) {
            range.state.store(Free, std::memory_order_release);
        }
    }
}

bool isUnchangingMemory(mach_vm_address_t address, mach_vm_size_t length) {
    if (address + length < address) {
        return false;
    }
    const int inUse = slotsInUse.load(std::memory_order_acquire);
    for (int index = 0; index < inUse; ++index) {
        const UnchangingRange& range = ranges[index];
        if (range.state.load(std::memory_order_acquire) == Published &&
            range.start.load(std::memory_order_relaxed) <= address &&
            address + length <= range.end.load(std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

} // namespace platform::mach
