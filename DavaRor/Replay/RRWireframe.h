#pragma once

#include "DavaRor/Replay/RRStyle.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One element of a screen's replay description. A wireframe owns its style
// and its children, which form a tree. Every field has a default, so a
// wireframe can be written with designated initializers naming only what it has.
struct RRWireframe {
    std::int64_t id = 0;
    std::int64_t posX = 0;
    std::int64_t posY = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::optional<std::vector<RRWireframe>> childWireframes{};
    std::optional<std::string> type{};
    std::optional<std::string> inputType{};
    std::optional<std::string> text{};
    std::optional<std::string> label{};
    std::optional<nlohmann::json> value{};
    std::optional<std::string> base64{};
    std::optional<RRStyle> style{};
    std::optional<bool> disabled{};
    std::optional<bool> checked{};
    std::optional<std::vector<std::string>> options{};
    std::optional<std::int64_t> max{};
    std::optional<std::int64_t> parentId{};
};
