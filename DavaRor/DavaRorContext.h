#pragma once

#include <nlohmann/json.hpp>

#include <memory>

namespace davaror {
class Reachability;
} // namespace davaror

// The properties every event carries about the library, the system and the
// network at the moment of capture.
class DavaRorContext {
public:
    explicit DavaRorContext(std::weak_ptr<davaror::Reachability> reachability);

    // Fixed for the life of the process.
    const nlohmann::json& staticContext() const { return staticContext_; }
    // Read afresh for every event.
    nlohmann::json dynamicContext() const;

private:
    std::weak_ptr<davaror::Reachability> reachability_;
    nlohmann::json staticContext_;
};
