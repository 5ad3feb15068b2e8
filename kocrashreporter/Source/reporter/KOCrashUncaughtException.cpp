#include "reporter/KOCrashUncaughtException.h"

#include "reporter/KOCrashReporterCrashContext.h"

#include <atomic>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <new>
#include <typeinfo>

using kocrash::signal_handler_context;

namespace {

std::atomic<int> uncaughtExceptionFlag{0};

std::string demangle(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

// The type of an exception_ptr's object, without the current-exception state of this thread.
const std::type_info* exceptionType(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (...) {
        return abi::__cxa_current_exception_type();
    }
}

} // namespace

std::optional<KOCrashExceptionDescription>
kocrash_describe_exception(std::exception_ptr exception) {
    if (!exception) {
        return std::nullopt;
    }
    KOCrashExceptionDescription description;
    const std::type_info* type = exceptionType(exception);
    description.name = type != nullptr ? demangle(type->name()) : std::string();
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& error) {
        description.reason = error.what();
    } catch (...) {
    }
    return description;
}

void kocrash::uncaught_exception_handler() {
    int expected = 0;
    if (uncaughtExceptionFlag.compare_exchange_strong(expected, 1)) {
        // Describing takes memory, which an uncaught std::bad_alloc may have left none of: the
        // report then goes without the exception.
        try {
            if (auto description = kocrash_describe_exception(std::current_exception())) {
                kocrash_log_writer_set_exception(&signal_handler_context.writer, description->name,
                                                 description->reason, {});
            }
        } catch (const std::bad_alloc&) {
        }
    }
    // A terminate handler may not return; a later exception's SIGABRT meets the crash guard.
    std::abort();
}
