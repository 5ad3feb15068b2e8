#pragma once

#include "DavaRor/Utils/InternalDavaRorError.h"
#include "platform/core/ForkSafeMutex.h"

#include <mutex>
#include <string>

// The type-level rule of every integration: one installed instance per
// process. The refusal names the place the error stands for, so its text is
// the same whatever file this code lives in.
class DavaRorIntegrationInstallGuard {
public:
    DavaRorIntegrationInstallGuard(std::string refusal, std::string fileIdentifier, unsigned line)
        : refusal_(std::move(refusal)), fileIdentifier_(std::move(fileIdentifier)), line_(line) {}
    DavaRorIntegrationInstallGuard(const DavaRorIntegrationInstallGuard&) = delete;
    DavaRorIntegrationInstallGuard& operator=(const DavaRorIntegrationInstallGuard&) = delete;

    // Marks the type installed; throws InternalDavaRorError when it already is.
    void claim() {
        std::lock_guard lock(mutex_);
        if (installed_) {
            throw InternalDavaRorError(refusal_, fileIdentifier_, line_);
        }
        installed_ = true;
    }

    void release() {
        std::lock_guard lock(mutex_);
        installed_ = false;
    }

private:
    const std::string refusal_;
    const std::string fileIdentifier_;
    const unsigned line_;
    platform::ForkSafeMutex mutex_;
    bool installed_ = false;
};
