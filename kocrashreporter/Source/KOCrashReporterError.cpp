#include "KOCrashReporterError.h"

#include <utility>

using kocrash::NSMachErrorDomain;
using kocrash::NSPOSIXErrorDomain;

KOError::KOError(std::string domain, long code, std::string localizedDescription,
                 std::shared_ptr<const KOError> underlyingError)
    : domain_(std::move(domain)), code_(code),
      localizedDescription_(std::move(localizedDescription)),
      underlyingError_(std::move(underlyingError)) {}

void kocrash_populate_error(std::optional<KOError>* error, KOCrashReporterError code,
                            std::string description, std::shared_ptr<const KOError> cause) {
    if (error == nullptr) {
        return;
    }
    error->emplace(std::string(KOCrashReporterErrorDomain), code, std::move(description),
                   std::move(cause));
}

static void populateSystemCallError(std::optional<KOError>* error, std::string_view causeDomain,
                                    int causeCode, std::string description) {
    if (error == nullptr) {
        return;
    }
    kocrash_populate_error(error, KOCrashReporterErrorSystemCall, std::move(description),
                           std::make_shared<const KOError>(std::string(causeDomain), causeCode));
}

void kocrash_populate_mach_error(std::optional<KOError>* error, int kernelReturn,
                                 std::string description) {
    populateSystemCallError(error, NSMachErrorDomain, kernelReturn, std::move(description));
}

void kocrash_populate_posix_error(std::optional<KOError>* error, int errnoValue,
                                  std::string description) {
    populateSystemCallError(error, NSPOSIXErrorDomain, errnoValue, std::move(description));
}
