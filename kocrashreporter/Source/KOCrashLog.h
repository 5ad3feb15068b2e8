// The crash reporter's own lines to the system log; callers write the "[KOCrashReporter] "
// prefix as part of the text. Normal context only.
#pragma once

void kocrash_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
