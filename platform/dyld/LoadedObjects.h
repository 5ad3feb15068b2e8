// The ELF objects the loader has mapped, as dl_iterate_phdr lists them, each known by the address
// of its first loaded segment: where its ELF header lies and where its Mach-O view's header is
// shown. The loader counts every object it maps and unmaps; the first object's record carries
// both counts, so whether anything changed since a given moment takes one call that stops at
// once. Normal context only.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <link.h>
#include <string>

namespace platform::dyld {

struct LoaderCounts {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    bool operator==(const LoaderCounts&) const = default;
};

struct LoadedObject {
    std::uint64_t headerAddress = 0;
    // The loader's name for it: "" for the main program.
    std::string name;
    // As the loader gives it; read the name above, not dlpi_name.
    const dl_phdr_info& info;
    // The file the object was mapped from.
    std::string path() const;
};

LoaderCounts loaderCounts();

// Visits the objects in the loader's order, the main program first, while the loader keeps them
// mapped: the visit may read their memory, but must not open or close libraries. Objects without
// a loaded segment are left out. Returns the counts as they stood during the visit.
LoaderCounts visitLoadedObjects(const std::function<void(const LoadedObject&)>& visit);

} // namespace platform::dyld
