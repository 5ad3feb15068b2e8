// The loader's link map as the crash path reads it: every object of every namespace with its
// load bias, the address of its name and of its dynamic section. Read through fault-safe copies,
// with nothing allocated and no lock taken: may run at crash time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::dyld {

struct LinkMapObject {
    std::uint64_t bias;
    std::uint64_t nameAddress;
    std::uint64_t dynamicAddress;
};

// Up to capacity objects, in the loader's order. False when a namespace is being changed (its
// state is not consistent), a record cannot be read, or the objects exceed capacity: the link
// map then tells nothing.
bool readLinkMap(LinkMapObject* objects, std::size_t capacity, std::size_t* count);

} // namespace platform::dyld
