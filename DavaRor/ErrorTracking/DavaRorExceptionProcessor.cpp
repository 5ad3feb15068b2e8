#include "DavaRor/ErrorTracking/DavaRorExceptionProcessor.h"

#include "DavaRor/ErrorTracking/DavaRorDebugImageProvider.h"
#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/TypeName.h"
#include "platform/mach/MachPorts.h"

#include <algorithm>
#include <memory>
#include <typeinfo>

using platform::mach::mach_thread_self;

namespace DavaRorExceptionProcessor {

using platform::foundation::NSDebugDescriptionErrorKey;
using platform::foundation::NSDictionary;
using platform::foundation::NSLocalizedDescriptionKey;
using platform::foundation::NSThread;
using platform::foundation::NSUnderlyingErrorKey;
using platform::foundation::userInfoObject;
using platform::foundation::userInfoValue;

namespace {

std::int64_t threadID() {
    return static_cast<std::int64_t>(mach_thread_self());
}

std::string errorTypeName(const NSError& error) {
    return typeid(error) == typeid(NSError) ? error.domain()
                                            : platform::foundation::typeName(typeid(error));
}

nlohmann::json mechanism(const std::string& type, bool handled, bool synthetic) {
    return {{"type", type}, {"handled", handled}, {"synthetic", synthetic}};
}

// Followed through user info while each link is a T (a subclass included) not met before, so a
// cycle ends the walk.
template <typename T> std::vector<const T*> chainOf(const T& first) {
    std::vector<const T*> chain{&first};
    while (const auto next = userInfoObject<T>(chain.back()->userInfo(), NSUnderlyingErrorKey)) {
        if (std::find(chain.begin(), chain.end(), next.get()) != chain.end()) {
            break;
        }
        chain.push_back(next.get());
    }
    return chain;
}

std::optional<nlohmann::json> stacktraceOf(const std::vector<DavaRorStackFrame>& frames) {
    if (frames.empty()) {
        return std::nullopt;
    }
    nlohmann::json list = nlohmann::json::array();
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        list.push_back(frame->toDictionary());
    }
    return nlohmann::json{{"type", "raw"}, {"frames", std::move(list)}};
}

} // namespace

nlohmann::json buildExceptionList(const std::exception& error, bool handled,
                                  const std::string& mechanismType,
                                  const DavaRorErrorTrackingConfig& config) {
    // An error of the program's own type travels as an NSError named after its type; its
    // type name stays the one reported.
    std::optional<NSError> wrapped;
    const auto* nsError = dynamic_cast<const NSError*>(&error);
    const std::string outerTypeName = nsError != nullptr
                                          ? errorTypeName(*nsError)
                                          : platform::foundation::typeName(typeid(error));
    if (nsError == nullptr) {
        wrapped.emplace(outerTypeName, 0,
                        NSDictionary{{NSLocalizedDescriptionKey, std::string(error.what())}});
        nsError = &*wrapped;
    }
    nlohmann::json entries = nlohmann::json::array();
    for (const NSError* link : chainOf(*nsError)) {
        const std::string typeName = link == nsError ? outerTypeName : errorTypeName(*link);
        entries.push_back(buildException(*link, typeName, handled, mechanismType, config));
    }
    return entries;
}

nlohmann::json buildExceptionList(const NSException& exception, bool handled,
                                  const std::string& mechanismType,
                                  const DavaRorErrorTrackingConfig& config) {
    nlohmann::json entries = nlohmann::json::array();
    for (const NSException* link : chainOf(exception)) {
        entries.push_back(buildException(*link, handled, mechanismType, config));
    }
    return entries;
}

nlohmann::json buildException(const NSError& error, const std::string& typeName, bool handled,
                              const std::string& mechanismType,
                              const DavaRorErrorTrackingConfig& config) {
    nlohmann::json entry = {{"type", typeName},
                            {"value", extractErrorMessage(error)},
                            {"thread_id", threadID()},
                            {"mechanism", mechanism(mechanismType, handled, true)}};
    if (auto module = extractModule(error)) {
        entry["module"] = *module;
    }
    if (auto stacktrace = buildStacktrace(config)) {
        entry["stacktrace"] = std::move(*stacktrace);
    }
    return entry;
}

nlohmann::json buildException(const NSException& exception, bool handled,
                              const std::string& mechanismType,
                              const DavaRorErrorTrackingConfig& config) {
    nlohmann::json entry = {{"thread_id", threadID()}};
    if (!exception.name().empty()) {
        entry["type"] = exception.name();
    }
    if (exception.reason() && !exception.reason()->empty()) {
        entry["value"] = *exception.reason();
    }
    const auto& addresses = exception.callStackReturnAddresses();
    const bool synthetic = addresses.empty();
    auto stacktrace =
        synthetic ? buildStacktrace(config) : buildStacktraceFromAddresses(addresses, config);
    entry["mechanism"] = mechanism(mechanismType, handled, synthetic);
    if (stacktrace) {
        entry["stacktrace"] = std::move(*stacktrace);
    }
    return entry;
}

std::string extractErrorMessage(const NSError& error) {
    std::string message;
    const auto* debugDescription =
        userInfoValue<std::string>(error.userInfo(), NSDebugDescriptionErrorKey);
    if (debugDescription != nullptr && !debugDescription->empty()) {
        message = *debugDescription;
    } else if (!error.localizedDescription().empty()) {
        message = error.localizedDescription();
    } else {
        message = "Error";
    }
    return message + " (Code: " + std::to_string(error.code()) + ")";
}

std::optional<std::string> extractModule(const NSError& error) {
    const std::string& domain = error.domain();
    const auto lastDot = domain.rfind('.');
    if (lastDot == std::string::npos || lastDot == 0) {
        return std::nullopt;
    }
    return domain.substr(0, lastDot);
}

std::optional<nlohmann::json> buildStacktrace(const DavaRorErrorTrackingConfig& config) {
    return stacktraceOf(DavaRorStackTraceProcessor::symbolicateAddresses(
        NSThread::callStackReturnAddresses(), config, true));
}

std::optional<nlohmann::json>
buildStacktraceFromAddresses(const std::vector<std::uint64_t>& addresses,
                             const DavaRorErrorTrackingConfig& config) {
    if (addresses.empty()) {
        return std::nullopt;
    }
    return stacktraceOf(DavaRorStackTraceProcessor::symbolicateAddresses(addresses, config, false));
}

void attachExceptionsAndDebugImages(const nlohmann::json& exceptions, nlohmann::json& properties) {
    if (!exceptions.is_array() || exceptions.empty()) {
        return;
    }
    properties["$exception_list"] = exceptions;
    auto images = DavaRorDebugImageProvider::getDebugImagesFromExceptions(exceptions);
    if (!images.empty()) {
        properties["$debug_images"] = std::move(images);
    }
}

} // namespace DavaRorExceptionProcessor
