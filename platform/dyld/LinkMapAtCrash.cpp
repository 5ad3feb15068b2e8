// May run at crash time: everything in this file (fault-safe copies of the loader's records).
#include "platform/dyld/LinkMapAtCrash.h"

#include "platform/mach/FaultSafeCopy.h"

#include <link.h>

namespace platform::dyld {
namespace {

// Namespaces the loader can hold, with room to spare.
constexpr int kNamespaceLimit = 64;

template <typename T> bool readRecord(std::uint64_t address, T* record) {
    return address != 0 && platform::mach::faultSafeRead(address, record);
}

} // namespace

bool readLinkMap(LinkMapObject* objects, std::size_t capacity, std::size_t* count) {
    *count = 0;
    std::uint64_t space = reinterpret_cast<std::uintptr_t>(&_r_debug);
    for (int namespaces = 0; space != 0; ++namespaces) {
        r_debug debug;
        if (namespaces == kNamespaceLimit || !readRecord(space, &debug) ||
            debug.r_state != r_debug::RT_CONSISTENT) {
            return false;
        }
        std::uint64_t next = reinterpret_cast<std::uintptr_t>(debug.r_map);
        while (next != 0) {
            link_map object;
            if (*count == capacity || !readRecord(next, &object)) {
                return false;
            }
            objects[(*count)++] = {object.l_addr, reinterpret_cast<std::uintptr_t>(object.l_name),
                                   reinterpret_cast<std::uintptr_t>(object.l_ld)};
            next = reinterpret_cast<std::uintptr_t>(object.l_next);
        }
        // From version 2 on, each namespace's record leads to the next one's.
        r_debug_extended extended;
        space = debug.r_version >= 2 && readRecord(space, &extended)
                    ? reinterpret_cast<std::uintptr_t>(extended.r_next)
                    : 0;
    }
    return true;
}

} // namespace platform::dyld
