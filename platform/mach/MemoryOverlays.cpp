// May run at crash time: applyMemoryOverlays (atomic loads and byte copies only).
#include "platform/mach/MemoryOverlays.h"

#include <atomic>
#include <cstdint>

namespace platform::mach {
namespace {

// One per loaded object of the process, with room to spare.
constexpr int kOverlayCount = 512;

enum SlotState : int { Free, Claimed, Published };

struct Overlay {
    std::atomic<int> state{Free};
    mach_vm_address_t address = 0;
    const std::uint8_t* bytes = nullptr;
    mach_vm_size_t length = 0;
};

Overlay overlays[kOverlayCount];

} // namespace

bool addMemoryOverlay(mach_vm_address_t address, const void* bytes, mach_vm_size_t length) {
    if (length == 0 || address + length < address) {
        return false;
    }
    for (Overlay& overlay : overlays) {
        int expected = Free;
        if (!overlay.state.compare_exchange_strong(expected, Claimed, std::memory_order_acquire)) {
            continue;
        }
        overlay.address = address;
        overlay.bytes = static_cast<const std::uint8_t*>(bytes);
        overlay.length = length;
        overlay.state.store(Published, std::memory_order_release);
        return true;
    }
    return false;
}

void removeMemoryOverlay(mach_vm_address_t address) {
    for (Overlay& overlay : overlays) {
        if (overlay.state.load(std::memory_order_acquire) == Published &&
            overlay.address == address) {
            overlay.state.store(Free, std::memory_order_release);
        }
    }
}

void applyMemoryOverlays(mach_vm_address_t address, mach_vm_size_t size, void* destination) {
    auto* target = static_cast<std::uint8_t*>(destination);
    for (const Overlay& overlay : overlays) {
        if (overlay.state.load(std::memory_order_acquire) != Published) {
            continue;
        }
        // Both ranges are known not to wrap, so their ends compare safely.
        mach_vm_address_t start = overlay.address > address ? overlay.address : address;
        mach_vm_address_t overlayEnd = overlay.address + overlay.length;
        mach_vm_address_t end = overlayEnd < address + size ? overlayEnd : address + size;
        for (mach_vm_address_t cursor = start; cursor < end; ++cursor) {
            target[cursor - address] = overlay.bytes[cursor - overlay.address];
        }
    }
}

} // namespace platform::mach
