// May run at crash time: everything in this file (fault-safe copies, fixed storage, atomics).
#include "platform/dyld/LoaderAtCrash.h"

#include "platform/dyld/FollowedObjects.h"
#include "platform/dyld/LateObjectViews.h"

#include <atomic>
#include <cstdint>

namespace platform::dyld {
namespace {

// The objects followed and as many opened since.
constexpr std::size_t kLinkMapCapacity = kFollowedObjectCapacity + kLateViewSlots;

// Written only by the one comparison open.
std::atomic<bool> comparisonOpen{false};
LinkMapObject linkMap[kLinkMapCapacity];
std::size_t linkMapCount = 0;
std::uint64_t closedHeaders[kFollowedObjectCapacity];
std::size_t closedCount = 0;
LateView lateViews[kLateViewSlots];
std::size_t lateCount = 0;

bool linkMapHoldsBias(std::uint64_t bias) {
    for (std::size_t index = 0; index < linkMapCount; ++index) {
        if (linkMap[index].bias == bias) {
            return true;
        }
    }
    return false;
}

bool followedBias(std::uint64_t bias) {
    const std::size_t limit = followedObjectSlotLimit();
    FollowedObject object;
    for (std::size_t slot = 0; slot < limit; ++slot) {
        if (followedObjectAt(slot, &object) && object.bias == bias) {
            return true;
        }
    }
    return false;
}

} // namespace

bool openLoaderComparison(LoaderComparison comparison) {
    bool expected = false;
    if (!lateViewsReserved() || !comparisonOpen.compare_exchange_strong(expected, true)) {
        return false;
    }
    closedCount = 0;
    lateCount = 0;
    if (!readLinkMap(linkMap, kLinkMapCapacity, &linkMapCount)) {
        comparisonOpen.store(false);
        return false;
    }
    const bool sinceFollowed = comparison == LoaderComparison::SinceFollowed;
    const std::size_t limit = sinceFollowed ? followedObjectSlotLimit() : 0;
    FollowedObject object;
    for (std::size_t slot = 0; slot < limit; ++slot) {
        if (followedObjectAt(slot, &object) && !linkMapHoldsBias(object.bias)) {
            closedHeaders[closedCount++] = object.headerAddress;
        }
    }
    std::size_t lateBytes = 0;
    for (std::size_t index = 0; index < linkMapCount && lateCount < kLateViewSlots; ++index) {
        if ((!sinceFollowed || !followedBias(linkMap[index].bias)) &&
            buildLateView(&lateBytes, linkMap[index], &lateViews[lateCount])) {
            ++lateCount;
        }
    }
    holdLateViews(lateBytes);
    return true;
}

bool closedSinceFollowed(const mach_header* header) {
    const auto address = reinterpret_cast<std::uintptr_t>(header);
    for (std::size_t index = 0; index < closedCount; ++index) {
        if (closedHeaders[index] == address) {
            return true;
        }
    }
    return false;
}

bool viewedLate(const mach_header* header) {
    const auto address = reinterpret_cast<std::uintptr_t>(header);
    for (std::size_t index = 0; index < lateCount; ++index) {
        if (lateViews[index].headerAddress == address) {
            return true;
        }
    }
    return false;
}

std::size_t lateImageCount() {
    return lateCount;
}

LateImage lateImage(std::size_t index) {
    return {reinterpret_cast<const mach_header*>(lateViews[index].headerAddress),
            lateViews[index].path, lateViews[index].bytes};
}

void closeLoaderComparison() {
    releaseLateViews();
    for (std::size_t index = 0; index < lateCount; ++index) {
        withdrawLateView(lateViews[index]);
    }
    closedCount = 0;
    lateCount = 0;
    comparisonOpen.store(false);
}

} // namespace platform::dyld
