#pragma once

#include "platform/core/Export.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// One frame of a reported stack trace.
struct DAVAROR_EXPORT DavaRorStackFrame {
    // Return or program-counter address.
    std::uint64_t instructionAddress = 0;
    // Last path component of the image file holding the address.
    std::optional<std::string> module;
    // Full path of that file.
    std::optional<std::string> package;
    // Load address of that image.
    std::optional<std::uint64_t> imageAddress;
    bool inApp = false;
    // Nearest symbol and its address.
    std::optional<std::string> function;
    std::optional<std::uint64_t> symbolAddress;

    // "instruction_addr", "platform", "in_app" always; the others when set.
    nlohmann::json toDictionary() const;
};
