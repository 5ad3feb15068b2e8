// May run at crash time: everything in this file (atomic operations on a fixed table and byte
// copies only).
#include "platform/mach/MemoryOverlays.h"

#include <atomic>
#include <cstdint>

namespace platform::mach {
namespace {

// One per loaded object the loader stand-in follows (4,096) and one per object opened since its
// last look that a crash lists (as many again).
constexpr int kOverlayCount = 8192;

enum SlotState : int { Free, Claimed, Published };

struct Overlay {
    std::atomic<int> state{Free};
    mach_vm_address_t address = 0;
    const std::uint8_t* bytes = nullptr;
    mach_vm_size_t length = 0;
};

Overlay overlays[kOverlayCount];
// Slots at and above this index have never been used: every scan stops there, since every
// read of the process's memory applies the overlays.
std::atomic<int> slotsInUse{0};

void markInUse(int index) {
    int inUse = slotsInUse.load(std::memory_order_relaxed);
    while (inUse <= index &&
           !slotsInUse.compare_exchange_weak(inUse, index + 1, std::memory_order_release)) {
    }
}

// The part of [address, address + size) the overlay covers; empty when end <= start. Both
// ranges are known not to wrap, so their ends compare safely.
struct Intersection {
    mach_vm_address_t start;
    mach_vm_address_t end;
};

Intersection intersect(const Overlay& overlay, mach_vm_address_t address, mach_vm_size_t size) {
    const mach_vm_address_t overlayEnd = overlay.address + overlay.length;
    return {overlay.address > address ? overlay.address : address,
            overlayEnd < address + size ? overlayEnd : address + size};
}

} // namespace

bool addMemoryOverlay(mach_vm_address_t address, const void* bytes, mach_vm_size_t length) {
    if (length == 0 || address + length < address) {
        return false;
    }
    for (int index = 0; index < kOverlayCount; ++index) {
        Overlay& overlay = overlays[index];
        int expected = Free;
        if (!overlay.state.compare_exchange_strong(expected, Claimed, std::memory_order_acquire)) {
            continue;
        }
        overlay.address = address;
        overlay.bytes = static_cast<const std::uint8_t*>(bytes);
        overlay.length = length;
        markInUse(index);
        overlay.state.store(Published, std::memory_order_release);
        return true;
    }
    return false;
}

void removeMemoryOverlay(mach_vm_address_t address, const void* bytes) {
    for (Overlay& overlay : overlays) {
        if (overlay.state.load(std::memory_order_acquire) == Published &&
            overlay.address == address && overlay.bytes == bytes) {
            overlay.state.store(Free, std::memory_order_release);
        }
    }
}

bool memoryOverlaysTouch(mach_vm_address_t address, mach_vm_size_t size) {
    const int inUse = slotsInUse.load(std::memory_order_acquire);
    for (int index = 0; index < inUse; ++index) {
        const Overlay& overlay = overlays[index];
        if (overlay.state.load(std::memory_order_acquire) == Published) {
            const Intersection common = intersect(overlay, address, size);
            if (common.start < common.end) {
                return true;
            }
        }
    }
    return false;
}

void applyMemoryOverlays(mach_vm_address_t address, mach_vm_size_t size, void* destination) {
    auto* target = static_cast<std::uint8_t*>(destination);
    const int inUse = slotsInUse.load(std::memory_order_acquire);
    for (int index = 0; index < inUse; ++index) {
        const Overlay& overlay = overlays[index];
        if (overlay.state.load(std::memory_order_acquire) != Published) {
            continue;
        }
        const Intersection common = intersect(overlay, address, size);
        for (mach_vm_address_t cursor = common.start; cursor < common.end; ++cursor) {
            target[cursor - address] = overlay.bytes[cursor - overlay.address];
        }
    }
}

} // namespace platform::mach
