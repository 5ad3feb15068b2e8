// May run at crash time: followedObjectSlotLimit and followedObjectAt (atomic loads only).
#include "platform/dyld/FollowedObjects.h"

#include <atomic>

namespace platform::dyld {
namespace {

struct Slot {
    std::atomic<bool> used{false};
    std::atomic<std::uint64_t> headerAddress{0};
    std::atomic<std::uint64_t> bias{0};
};

Slot slots[kFollowedObjectCapacity];
std::atomic<std::size_t> slotLimit{0};

} // namespace

bool recordFollowedObject(FollowedObject object) {
    for (std::size_t index = 0; index < kFollowedObjectCapacity; ++index) {
        Slot& slot = slots[index];
        if (slot.used.load(std::memory_order_relaxed)) {
            continue;
        }
        slot.headerAddress.store(object.headerAddress, std::memory_order_relaxed);
        slot.bias.store(object.bias, std::memory_order_relaxed);
        if (slotLimit.load(std::memory_order_relaxed) <= index) {
            slotLimit.store(index + 1, std::memory_order_release);
        }
        slot.used.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

void forgetFollowedObject(std::uint64_t headerAddress) {
    const std::size_t limit = slotLimit.load(std::memory_order_relaxed);
    for (std::size_t index = 0; index < limit; ++index) {
        Slot& slot = slots[index];
        if (slot.used.load(std::memory_order_relaxed) &&
            slot.headerAddress.load(std::memory_order_relaxed) == headerAddress) {
            slot.used.store(false, std::memory_order_release);
        }
    }
}

std::size_t followedObjectSlotLimit() {
    return slotLimit.load(std::memory_order_acquire);
}

bool followedObjectAt(std::size_t slot, FollowedObject* object) {
    if (slot >= kFollowedObjectCapacity || !slots[slot].used.load(std::memory_order_acquire)) {
        return false;
    }
    *object = {slots[slot].headerAddress.load(std::memory_order_relaxed),
               slots[slot].bias.load(std::memory_order_relaxed)};
    return true;
}

} // namespace platform::dyld
