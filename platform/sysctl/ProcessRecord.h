// The kernel's process record of any process, read from /proc/<pid>/stat and /proc/<pid>/status.
#pragma once

#include "platform/sysctl/Sysctl.h"

#include <sys/types.h>

namespace platform::sysctl {

// 0, or the errno value of the failure (ESRCH for a process that does not exist).
int readProcessRecord(pid_t pid, kinfo_proc& record);

} // namespace platform::sysctl
