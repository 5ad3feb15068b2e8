#include "DavaRor/ErrorTracking/DavaRorDebugUtils.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "platform/sysctl/Sysctl.h"

#include <string>
#include <unistd.h>

namespace DavaRorDebugUtils {

bool isDebuggerAttached() {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, getpid()};
    kinfo_proc record{};
    std::size_t size = sizeof(record);
    const int result = platform::sysctl::sysctl(name, 4, &record, &size, nullptr, 0);
    if (result != 0) {
        davaRorLog("Failed to check for debugger. sysctl failed with error code: " +
                   std::to_string(result));
        return false;
    }
    return (record.kp_proc.p_flag & P_TRACED) != 0;
}

} // namespace DavaRorDebugUtils
