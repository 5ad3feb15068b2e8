// Mach-O views of objects the loader mapped after the registry last followed it, built at crash
// time in space reserved beforehand: one after another, each holding the object's path, a copy
// of its program headers and notes, and the view's bytes, and taking only what these need. The view
// is built as the registry's views are (MachOViewComposer.h), but from what the object's memory
// holds: its dynamic symbols (.dynsym, as many as fit in the slot) and the .eh_frame its unwind
// header (PT_GNU_EH_FRAME) points at. Reserving is for normal context; building and withdrawing may
// run at crash time (fault-safe copies, writes into the slot, the overlay table's atomics).
#pragma once

#include "platform/dyld/FollowedObjects.h"
#include "platform/dyld/LinkMapAtCrash.h"

#include <cstddef>
#include <cstdint>

namespace platform::dyld {

// As many as the registry follows: a process may open thousands of objects between two uses of
// the registry, and every one is listed while the space lasts.
inline constexpr std::size_t kLateViewSlots = kFollowedObjectCapacity;
// At most this much per view: room for the header and load commands and about 2,500 dynamic
// functions with names of 16 characters.
inline constexpr std::size_t kLateViewBytesLimit = 64 * 1024;
// The space of all views. Address space only: pages are taken from the system when a crash
// writes them, and a small object's view takes a few KiB (4,096 of them fit, or 512 of the
// largest).
inline constexpr std::size_t kLateViewSpaceBytes = 32 * 1024 * 1024;

struct LateView {
    // The object's first byte, where its load bias also points.
    std::uint64_t headerAddress;
    // In the slot.
    const char* path;
    const std::uint8_t* bytes;
};

// Reserves the slots once; false when no memory could be had.
bool reserveLateViews();
bool lateViewsReserved();

// Builds the view of object at *used bytes into the space, shows its header over the object's
// first byte and moves *used past it. False, with *used as it was, when the object cannot be read
// or has no view (no code, or its first byte is not its ELF header), or the space is full.
bool buildLateView(std::size_t* used, const LinkMapObject& object, LateView* view);
void withdrawLateView(const LateView& view);

// While a report reads them, the views built (the first `used` bytes of the space) are shown in
// place by the Mach memory calls, as the registry's views are, rather than copied: a process out
// of memory still lists them. Nothing may be built until they are released.
void holdLateViews(std::size_t used);
void releaseLateViews();

} // namespace platform::dyld
