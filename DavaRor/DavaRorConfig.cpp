#include "DavaRor/DavaRorConfig.h"

#include "DavaRor/AppLifeCycle/DavaRorAppLifeCycleIntegration.h"
#include "DavaRor/ErrorTracking/DavaRorErrorTrackingAutoCaptureIntegration.h"
#include "DavaRor/ScreenViews/DavaRorScreenViewIntegration.h"

DavaRorConfig::DavaRorConfig(std::string apiKey, std::string host)
    : host(std::move(host)), apiKey(std::move(apiKey)) {}

std::string DavaRorConfig::snapshotEndpoint() const {
    std::lock_guard guard(lock_);
    return snapshotEndpoint_;
}

void DavaRorConfig::setSnapshotEndpoint(std::string endpoint) {
    std::lock_guard guard(lock_);
    snapshotEndpoint_ = std::move(endpoint);
}

bool DavaRorConfig::optOut() const {
    std::lock_guard guard(lock_);
    return optOut_;
}

void DavaRorConfig::setOptOut(bool optOut) {
    std::lock_guard guard(lock_);
    optOut_ = optOut;
}

std::vector<std::shared_ptr<DavaRorIntegration>> DavaRorConfig::getIntegrations() const {
    std::vector<std::shared_ptr<DavaRorIntegration>> integrations;
    // First, so that the report of the previous run is read before anything else happens.
    if (errorTrackingConfig->autoCapture()) {
        integrations.push_back(std::make_shared<DavaRorErrorTrackingAutoCaptureIntegration>());
    }
    if (captureScreenViews) {
        integrations.push_back(std::make_shared<DavaRorScreenViewIntegration>());
    }
    if (captureApplicationLifecycleEvents) {
        integrations.push_back(std::make_shared<DavaRorAppLifeCycleIntegration>());
    }
    return integrations;
}
