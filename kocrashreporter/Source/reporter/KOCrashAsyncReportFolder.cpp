// May run at crash time: everything in this file (mkdir only).
#include "reporter/KOCrashAsyncReportFolder.h"

#include <climits>
#include <sys/stat.h>

void kocrash_async_make_report_folder(const char* report_path) {
    char prefix[PATH_MAX];
    std::size_t length = 0;
    for (const char* at = report_path; *at != '\0' && length + 1 < sizeof prefix; ++at) {
        // Each folder the path names before the file: the root and the file itself are not.
        if (*at == '/' && length != 0) {
            prefix[length] = '\0';
            mkdir(prefix, 0755);
        }
        prefix[length++] = *at;
    }
}
