#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/ErrorTracking/DavaRorExceptionProcessor.h"

namespace {

constexpr const char* kMechanismType = "generic";

} // namespace

void DavaRorSDK::captureException(const std::exception& error, const nlohmann::json& properties) {
    auto config = checkEnabled() ? this->config() : nullptr;
    if (!config) {
        return;
    }
    captureExceptionList(DavaRorExceptionProcessor::buildExceptionList(
                             error, true, kMechanismType, *config->errorTrackingConfig),
                         properties);
}

void DavaRorSDK::captureException(const platform::foundation::NSException& exception,
                                  const nlohmann::json& properties) {
    auto config = checkEnabled() ? this->config() : nullptr;
    if (!config) {
        return;
    }
    captureExceptionList(DavaRorExceptionProcessor::buildExceptionList(
                             exception, true, kMechanismType, *config->errorTrackingConfig),
                         properties);
}

void DavaRorSDK::captureExceptionList(const nlohmann::json& exceptions,
                                      const nlohmann::json& properties) {
    nlohmann::json exceptionProperties = {{"$exception_level", "error"}};
    DavaRorExceptionProcessor::attachExceptionsAndDebugImages(exceptions, exceptionProperties);
    if (properties.is_object()) {
        exceptionProperties.update(properties);
    }
    capture("$exception", exceptionProperties);
}
