// The ELF objects loaded into this process (the executable, the loader, the libraries), with
// the file each came from and the address its segments were loaded at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct LoadedObject {
    // The file on disk; the executable's comes from /proc/self/exe.
    std::string path;
    // Added to the file's addresses to give the loaded ones.
    std::uint64_t loadBias;
    // Loaded address of the PT_GNU_EH_FRAME segment (.eh_frame_hdr), 0 when absent.
    std::uint64_t ehFrameHeader;
};

std::vector<LoadedObject> loadedObjects();
// The first loaded object whose file name (the part after the last '/') starts with prefix;
// an empty prefix names the executable.
std::optional<LoadedObject> loadedObject(const std::string& fileNamePrefix);
