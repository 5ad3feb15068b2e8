// What the loader holds when a report is written, compared with what the image registry last
// followed (FollowedObjects.h): objects opened since, which the link map holds and the registry
// does not, each with a Mach-O view built in space reserved beforehand (LateObjectViews.h); and
// objects closed since, which the registry still lists and the link map no longer holds. One
// comparison is open at a time; it may run at crash time (fault-safe copies, fixed storage,
// atomics).
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstddef>

namespace platform::dyld {

struct LateImage {
    const mach_header* header;
    const char* path;
    // Where the view's header and load commands lie in the reserved space.
    const void* contents;
};

// Which objects a comparison takes for opened since: those the registry has not followed, or
// every object of the link map while what the registry followed is not yet all announced (its
// first look at the loader may still be running on another thread).
enum class LoaderComparison { SinceFollowed, WholeLinkMap };

// False, with nothing compared, when no space for late views was reserved, another comparison is
// open, or the link map tells nothing (LinkMapAtCrash.h).
bool openLoaderComparison(LoaderComparison comparison = LoaderComparison::SinceFollowed);
// While the comparison is open: whether the image is a view of an object the loader closed, or
// of one that a late view shows, which a report lists once, as the late view.
bool closedSinceFollowed(const mach_header* header);
bool viewedLate(const mach_header* header);
// While the comparison is open: the objects opened since, in the loader's order.
std::size_t lateImageCount();
LateImage lateImage(std::size_t index);
// Withdraws the views built for the comparison.
void closeLoaderComparison();

} // namespace platform::dyld
