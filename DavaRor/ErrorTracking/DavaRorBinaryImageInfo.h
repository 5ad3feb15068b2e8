#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// One loaded image that reported frames point into, so the service can symbolicate them.
struct DavaRorBinaryImageInfo {
    // Image path.
    std::string name;
    // Upper-case dashed UUID.
    std::optional<std::string> uuid;
    // Preferred (unslid) __TEXT address, when known.
    std::optional<std::uint64_t> vmAddress;
    // Load address.
    std::uint64_t address = 0;
    // For a loaded image, the __TEXT segment's size.
    std::uint64_t size = 0;
    std::optional<std::string> arch;

    // "type" "macho", "code_file", "image_addr", "image_size" always; "debug_id" and "arch"
    // when set; "image_vmaddr" when set and not 0.
    nlohmann::json toDictionary() const;
};
