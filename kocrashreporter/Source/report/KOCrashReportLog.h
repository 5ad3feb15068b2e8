// The report reader's notes to the system log, each line prefixed "[KOCrashReporter] ".
// Normal context only.
#pragma once

void kocrash_report_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
