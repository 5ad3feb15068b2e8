#include "DavaRor/Utils/DavaRorSanitizer.h"

#include "DavaRor/Utils/DavaRorLog.h"

#include <cmath>

namespace {

bool isValidUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// Returns false when the value itself must be dropped; cleans containers.
bool sanitizeValue(nlohmann::json& value, const std::string& key) {
    switch (value.type()) {
    case nlohmann::json::value_t::string:
        if (!isValidUtf8(value.get_ref<const std::string&>())) {
            davaRorLog("Property " + key + " is not valid UTF-8 text, dropping it");
            return false;
        }
        return true;
    case nlohmann::json::value_t::number_float:
        if (!std::isfinite(value.get<double>())) {
            davaRorLog("Property " + key + " is not a finite number, dropping it");
            return false;
        }
        return true;
    case nlohmann::json::value_t::object: {
        nlohmann::json clean = nlohmann::json::object();
        for (auto& [childKey, child] : value.items()) {
            if (isValidUtf8(childKey) && sanitizeValue(child, childKey)) {
                clean[childKey] = std::move(child);
            }
        }
        value = std::move(clean);
        return true;
    }
    case nlohmann::json::value_t::array: {
        nlohmann::json clean = nlohmann::json::array();
        for (auto& child : value) {
            if (sanitizeValue(child, key)) {
                clean.push_back(std::move(child));
            }
        }
        value = std::move(clean);
        return true;
    }
    default:
        return true;
    }
}

} // namespace

nlohmann::json sanitizeDictionary(const nlohmann::json& dictionary) {
    if (!dictionary.is_object()) {
        return nlohmann::json::object();
    }
    nlohmann::json copy = dictionary;
    sanitizeValue(copy, "");
    return copy;
}
