// Errors of the crash reporter's object layer: one domain, four codes, an optional cause.
// Crash-time code never builds these; it returns kocrash_error_t codes instead.
#pragma once

#include "platform/core/Export.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view KOCrashReporterErrorDomain = "KOCrashReporterErrorDomain";
namespace kocrash {
// Domains of the causes of KOCrashReporterErrorSystemCall: a kernel return value, or errno.
inline constexpr std::string_view NSMachErrorDomain = "NSMachErrorDomain";
inline constexpr std::string_view NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
} // namespace kocrash

enum KOCrashReporterError : long {
    KOCrashReporterErrorOther = 0,
    KOCrashReporterErrorSystemCall = 1,
    KOCrashReporterErrorInvalidReport = 2,
    KOCrashReporterErrorAlreadyEnabled = 3,
};

// An immutable error value: domain and code, plus the user-info entries the reporter uses
// (the localized description and the underlying error). Copies share the cause.
class DAVAROR_EXPORT KOError {
public:
    KOError(std::string domain, long code, std::string localizedDescription = {},
            std::shared_ptr<const KOError> underlyingError = nullptr);

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    // Empty for errors made without a description (the causes of system-call errors).
    const std::string& localizedDescription() const { return localizedDescription_; }
    // Null when the error has no cause.
    const std::shared_ptr<const KOError>& underlyingError() const { return underlyingError_; }

private:
    std::string domain_;
    long code_;
    std::string localizedDescription_;
    std::shared_ptr<const KOError> underlyingError_;
};

// Each routine stores a new error in *error; with a null out-pointer it does nothing.
// Callers pass the address of an empty optional, as the reporter's operations do.
void kocrash_populate_error(std::optional<KOError>* error, KOCrashReporterError code,
                            std::string description,
                            std::shared_ptr<const KOError> cause = nullptr);
void kocrash_populate_mach_error(std::optional<KOError>* error, int kernelReturn,
                                 std::string description);
void kocrash_populate_posix_error(std::optional<KOError>* error, int errnoValue,
                                  std::string description);
