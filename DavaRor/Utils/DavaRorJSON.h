#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

enum class DavaRorJSONWriting { compact, prettyPrinted };

// The dictionary serialised as JSON text, or none (logged) when it cannot be
// written, e.g. a text that is not valid UTF-8.
std::optional<std::string> toJSONData(const nlohmann::json& dictionary,
                                      DavaRorJSONWriting options = DavaRorJSONWriting::compact);
