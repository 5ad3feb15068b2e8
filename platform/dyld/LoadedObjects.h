// The ELF objects the loader has mapped, as dl_iterate_phdr lists them, each known by the address
// of its first loaded segment: where its ELF header lies and where its Mach-O view's header is
// shown. Normal context only.
#pragma once

#include <cstdint>
#include <link.h>
#include <set>
#include <string>
#include <vector>

namespace platform::dyld {

struct LoadedObject {
    std::uint64_t headerAddress = 0;
    // The loader's name: "" for the main program.
    std::string name;
    // As the loader gave it, with dlpi_name pointing at name.
    dl_phdr_info phdrInfo() const;
    // The file the object was mapped from.
    std::string path() const;

    dl_phdr_info info{};
};

// In the loader's order, the main program first. Objects without a loaded segment are left out.
std::vector<LoadedObject> loadedObjects();
std::set<std::uint64_t> loadedObjectHeaders();
// The main program's file.
std::string executablePath();

} // namespace platform::dyld
