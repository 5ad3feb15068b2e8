#pragma once

#include "DavaRor/ErrorTracking/DavaRorErrorTrackingConfig.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSException.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

// Handled errors and exceptions turned into the exception entries of an "$exception" event.
namespace DavaRorExceptionProcessor {

using platform::foundation::NSError;
using platform::foundation::NSException;

// One entry per error of the underlying-error chain, outermost first. Any exception object of
// the program counts as an error; one that is not an NSError is reported under its dynamic
// type's name. The stack is the calling thread's.
nlohmann::json buildExceptionList(const std::exception& error, bool handled,
                                  const std::string& mechanismType,
                                  const DavaRorErrorTrackingConfig& config);
// The same for an exception and its chain of underlying exceptions; the stack is the one
// recorded where it was raised, else the calling thread's.
nlohmann::json buildExceptionList(const NSException& exception, bool handled,
                                  const std::string& mechanismType,
                                  const DavaRorErrorTrackingConfig& config);
// "$exception_list" and "$debug_images" into properties; nothing for an empty list.
void attachExceptionsAndDebugImages(const nlohmann::json& exceptions, nlohmann::json& properties);

nlohmann::json buildException(const NSError& error, const std::string& typeName, bool handled,
                              const std::string& mechanismType,
                              const DavaRorErrorTrackingConfig& config);
nlohmann::json buildException(const NSException& exception, bool handled,
                              const std::string& mechanismType,
                              const DavaRorErrorTrackingConfig& config);
// The debug description, else the localized description, else "Error", then " (Code: <code>)".
std::string extractErrorMessage(const NSError& error);
// The domain up to its last "."; none for a domain without one.
std::optional<std::string> extractModule(const NSError& error);
std::optional<nlohmann::json> buildStacktrace(const DavaRorErrorTrackingConfig& config);
std::optional<nlohmann::json>
buildStacktraceFromAddresses(const std::vector<std::uint64_t>& addresses,
                             const DavaRorErrorTrackingConfig& config);

} // namespace DavaRorExceptionProcessor
