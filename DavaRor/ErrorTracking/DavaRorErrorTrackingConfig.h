#pragma once

#include "platform/core/Export.h"
#include "platform/core/ForkSafeMutex.h"

#include <mutex>
#include <string>
#include <vector>

// Whether crashes are captured automatically, and which stack frames count as the
// application's own ("in app"). The application may change the lists at any time; the rules
// read them at each use.
class DAVAROR_EXPORT DavaRorErrorTrackingConfig {
public:
    // inAppIncludes starts with the main bundle's identifier (a placeholder that names no real
    // application when it has none) and then its executable's name.
    DavaRorErrorTrackingConfig();
    DavaRorErrorTrackingConfig(const DavaRorErrorTrackingConfig&) = delete;
    DavaRorErrorTrackingConfig& operator=(const DavaRorErrorTrackingConfig&) = delete;

    bool autoCapture() const;
    void setAutoCapture(bool autoCapture);
    // Module-name prefixes that mark a frame as in app; tested before the excludes.
    std::vector<std::string> inAppIncludes() const;
    void setInAppIncludes(std::vector<std::string> prefixes);
    std::vector<std::string> inAppExcludes() const;
    void setInAppExcludes(std::vector<std::string> prefixes);
    // The answer when no rule decides.
    bool inAppByDefault() const;
    void setInAppByDefault(bool inAppByDefault);

private:
    mutable platform::ForkSafeMutex lock_;
    bool _autoCapture = false;
    std::vector<std::string> inAppIncludes_;
    std::vector<std::string> inAppExcludes_;
    bool inAppByDefault_ = true;
};
