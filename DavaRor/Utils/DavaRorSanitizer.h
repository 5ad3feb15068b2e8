#pragma once

#include <nlohmann/json.hpp>

// The dictionary without the values that cannot be written as JSON (texts
// that are not UTF-8, non-finite numbers), each drop logged. Anything that is
// not an object gives an empty object.
nlohmann::json sanitizeDictionary(const nlohmann::json& dictionary);
