#include "info/KOCrashProcessInfo.h"

#include "info/KOCrashSysctl.h"
#include "platform/sysctl/Sysctl.h"

#include <unistd.h>

std::optional<KOCrashProcessInfo> KOCrashProcessInfo::currentProcessInfo() {
    return initWithProcessID(getpid());
}

std::optional<KOCrashProcessInfo> KOCrashProcessInfo::initWithProcessID(std::int32_t processID) {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, processID};
    kinfo_proc record{};
    std::size_t size = sizeof record;
    if (platform::sysctl::sysctl(name, 4, &record, &size, nullptr, 0) != 0 ||
        size != sizeof record) {
        return std::nullopt;
    }
    KOCrashProcessInfo info;
    info._processID = processID;
    info._traced = (record.kp_proc.p_flag & P_TRACED) != 0;
    const auto* command = reinterpret_cast<const std::uint8_t*>(record.kp_proc.p_comm);
    std::size_t length = kocrash_sysctl_valid_utf8_bytes_max(command, MAXCOMLEN);
    if (length > 0) {
        info._processName = std::string(record.kp_proc.p_comm, length);
    }
    info._parentProcessID = record.kp_eproc.e_ppid;
    info._startTime.tv_sec = record.kp_proc.p_starttime.tv_sec;
    info._startTime.tv_usec = record.kp_proc.p_starttime.tv_usec;
    return info;
}
