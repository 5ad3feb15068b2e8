// The ELF objects the loader has mapped, as dl_iterate_phdr lists them, each known by the address
// of its first loaded segment: where its ELF header lies and where its Mach-O view's header is
// shown. Normal context only.
#pragma once

#include "platform/dyld/DynamicEntries.h"

#include <cstdint>
#include <link.h>
#include <set>
#include <string>
#include <string_view>
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
    // Read while the loader listed the object, so that no later dlclose can unmap it first.
    DynamicEntries entries;
};

// Whether the loader would take object for a library named name (without a path): by its soname,
// or by the file name it was loaded from (which stands for the name it was asked for under).
// Objects without a soname answer only to their file name; nothing answers to "".
bool answersTo(const LoadedObject& object, std::string_view name);

// In the loader's order, the main program first. Objects without a loaded segment are left out.
std::vector<LoadedObject> loadedObjects();
std::set<std::uint64_t> loadedObjectHeaders();
// The main program's file.
std::string executablePath();

} // namespace platform::dyld
