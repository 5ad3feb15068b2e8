#pragma once

#include "DavaRor/ErrorTracking/DavaRorBinaryImageInfo.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The loaded images that reported frames point into, read from the loader's image list and
// each image's Mach-O header (LC_UUID and the __TEXT segment).
namespace DavaRorDebugImageProvider {

// The debug-image dictionaries for every frame of the entries' stack traces.
nlohmann::json getDebugImagesFromExceptions(const nlohmann::json& exceptions);
// The debug-image dictionaries of the images named by the frames' "image_addr" texts, in the
// loader's image order.
nlohmann::json getDebugImagesForFrames(const nlohmann::json& frames);

// Loaded images whose load address is one of the address texts; texts that are not hexadecimal
// numbers are passed over.
std::vector<DavaRorBinaryImageInfo> getImages(const std::set<std::string>& addresses);
// None when the load address would lie outside the address space.
std::optional<DavaRorBinaryImageInfo> parseImageInfo(const void* header, std::intptr_t slide,
                                                     const std::string& name);
// command points at an LC_UUID command.
std::string extractUUID(const void* command);
// (vmaddr, vmsize) when command is a segment command named "__TEXT".
std::optional<std::pair<std::uint64_t, std::uint64_t>> extractTextSegment(const void* command,
                                                                          bool is64Bit);

} // namespace DavaRorDebugImageProvider
