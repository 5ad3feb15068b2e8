// Uncaught C++ exceptions. The terminate handler records the first one in the crash context's
// writer and aborts, and the SIGABRT handler then writes a report that carries it. An
// uncaught exception reaches the terminate handler before any unwinding, so the crashed
// thread's frames still hold the throw site and the exception's own call stack stays empty.
// Normal context only (it allocates), though it runs as the process dies.
#pragma once

#include <exception>
#include <optional>
#include <string>

struct KOCrashExceptionDescription {
    // The demangled type name.
    std::string name;
    // what(), for exceptions derived from std::exception.
    std::optional<std::string> reason;
};

// None for a null exception.
std::optional<KOCrashExceptionDescription> kocrash_describe_exception(std::exception_ptr exception);

namespace kocrash {
[[noreturn]] void uncaught_exception_handler();
} // namespace kocrash
