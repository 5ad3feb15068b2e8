#include "platform/sysctl/ProcessRecord.h"

#include "platform/core/RegularFile.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace platform::sysctl {
namespace {

// Far above what any of the /proc files read here holds.
constexpr std::size_t procFileLimit = 1 << 20;

bool readFile(const std::string& path, std::string& contents) {
    std::error_code error;
    auto text = readRegularFile(path, procFileLimit, SymbolicLinks::follow, error);
    if (!text) {
        return false;
    }
    contents = std::move(*text);
    return true;
}

// The number after "<key>" on its own line of a /proc file, or 0.
long long fieldOf(const std::string& contents, const std::string& key) {
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return std::atoll(line.c_str() + key.size());
        }
    }
    return 0;
}

struct StatFields {
    std::string command;
    // Fields 3 onwards of /proc/<pid>/stat: after[0] is field 3 (the state).
    std::vector<std::string> after;
};

// The command name sits in parentheses and may itself hold spaces and parentheses, so it runs
// to the last ")" of the line.
bool parseStat(const std::string& line, StatFields& fields) {
    std::size_t open = line.find('(');
    std::size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return false;
    }
    fields.command = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    while (rest >> field) {
        fields.after.push_back(field);
    }
    return fields.after.size() >= 20;
}

} // namespace

int readProcessRecord(pid_t pid, kinfo_proc& record) {
    std::string directory = "/proc/" + std::to_string(pid);
    std::string stat;
    if (pid <= 0 || !readFile(directory + "/stat", stat)) {
        return ESRCH;
    }
    StatFields fields;
    if (!parseStat(stat, fields)) {
        return EIO;
    }
    std::string status;
    readFile(directory + "/status", status);
    std::string systemStat;
    readFile("/proc/stat", systemStat);

    std::memset(&record, 0, sizeof record);
    record.kp_proc.p_pid = pid;
    record.kp_proc.p_stat = fields.after[0].empty() ? '\0' : fields.after[0][0];
    record.kp_eproc.e_ppid = static_cast<std::int32_t>(std::atoll(fields.after[1].c_str()));
    record.kp_eproc.e_pgid = static_cast<std::int32_t>(std::atoll(fields.after[2].c_str()));
    std::strncpy(record.kp_proc.p_comm, fields.command.c_str(), MAXCOMLEN);
    if (fieldOf(status, "TracerPid:") != 0) {
        record.kp_proc.p_flag |= P_TRACED;
    }
    // Field 22: clock ticks from boot to the start of the process.
    long long ticks = std::atoll(fields.after[19].c_str());
    long long perSecond = sysconf(_SC_CLK_TCK);
    long long boot = fieldOf(systemStat, "btime ");
    if (perSecond > 0) {
        record.kp_proc.p_starttime.tv_sec = boot + ticks / perSecond;
        record.kp_proc.p_starttime.tv_usec =
            static_cast<std::int32_t>(ticks % perSecond * 1000000 / perSecond);
    }
    return 0;
}

} // namespace platform::sysctl
