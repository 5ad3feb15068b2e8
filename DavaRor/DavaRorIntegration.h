#pragma once

#include "platform/core/Export.h"

#include <nlohmann/json.hpp>

class DavaRorSDK;

// A plug-in of the client: installed at setup, uninstalled at close.
class DAVAROR_EXPORT DavaRorIntegration {
public:
    virtual ~DavaRorIntegration() = default;

    virtual bool requiresSwizzling() const = 0;
    // May throw InternalDavaRorError to refuse the install.
    virtual void install(DavaRorSDK& davaRor) = 0;
    virtual void uninstall(DavaRorSDK& davaRor) = 0;
    virtual void contextDidChange(const nlohmann::json& /*context*/) {}
};
