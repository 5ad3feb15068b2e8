#include "KOCrashReportLog.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

void kocrash_report_log(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    syslog(LOG_NOTICE, "[KOCrashReporter] %s", line);
}
