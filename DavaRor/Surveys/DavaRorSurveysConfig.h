#pragma once

#include "DavaRor/Surveys/DavaRorSurveysDelegate.h"
#include "platform/core/Export.h"
#include "platform/core/ForkSafeMutex.h"

#include <memory>
#include <mutex>

// The surveys settings of the client configuration. The delegate may be
// replaced while surveys run on another thread, hence the lock.
class DAVAROR_EXPORT DavaRorSurveysConfig {
public:
    DavaRorSurveysConfig() : surveysDelegate_(std::make_shared<DavaRorSurveysDefaultDelegate>()) {}
    DavaRorSurveysConfig(const DavaRorSurveysConfig&) = delete;
    DavaRorSurveysConfig& operator=(const DavaRorSurveysConfig&) = delete;

    std::shared_ptr<DavaRorSurveysDelegate> surveysDelegate() const {
        std::lock_guard lock(mutex_);
        return surveysDelegate_;
    }

    // A null delegate is refused: the configuration always has one to call.
    void setSurveysDelegate(std::shared_ptr<DavaRorSurveysDelegate> delegate) {
        if (!delegate) {
            return;
        }
        std::lock_guard lock(mutex_);
        surveysDelegate_ = std::move(delegate);
    }

private:
    mutable platform::ForkSafeMutex mutex_;
    std::shared_ptr<DavaRorSurveysDelegate> surveysDelegate_;
};
