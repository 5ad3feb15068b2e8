#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace davaror {

// An event the life-cycle rules decided on, for the integration to capture.
struct AppLifecycleEvent {
    std::string event;
    nlohmann::json properties;
};

} // namespace davaror
