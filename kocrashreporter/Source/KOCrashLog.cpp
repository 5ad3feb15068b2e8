#include "KOCrashLog.h"

#include "platform/core/LogSink.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void kocrash_log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(line.data(), line.size() + 1, format, arguments);
    }
    va_end(arguments);
    platform::log::writeSystemLogLine(line);
}
