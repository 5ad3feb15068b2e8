// The loader's objects the registry has followed, each by its header address and load bias, in a
// fixed table that the crash path reads without locking: at crash time, an object the link map
// holds and this table lacks was opened since the registry last looked, and one the table holds
// and the link map lacks was closed since. Recording and forgetting are for normal context and
// serialised by the registry; reading may run at crash time (atomic loads only).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::dyld {

// One per loaded object: a process may load thousands (plugins, and the libraries each brings).
inline constexpr std::size_t kFollowedObjectCapacity = 4096;

struct FollowedObject {
    std::uint64_t headerAddress;
    std::uint64_t bias;
};

// False when the table is full: the crash path then takes the object for one opened since, and
// never for one closed since.
bool recordFollowedObject(FollowedObject object);
void forgetFollowedObject(std::uint64_t headerAddress);

// Slots at and above the limit were never used. False for a free slot.
std::size_t followedObjectSlotLimit();
bool followedObjectAt(std::size_t slot, FollowedObject* object);

} // namespace platform::dyld
