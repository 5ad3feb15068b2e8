#include "platform/sysctl/SysctlTable.h"

#include "platform/core/RegularFile.h"
#include "platform/mach/MachTypes.h"
#include "platform/sysctl/Sysctl.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace platform::sysctl {
namespace {

// The kernel facts read here are one short line each.
constexpr std::size_t kernelFactLimit = 1 << 16;

std::string firstLineOf(const std::string& path) {
    std::error_code error;
    std::string line =
        readRegularFile(path, kernelFactLimit, SymbolicLinks::follow, error).value_or("");
    line.erase(std::min(line.find('\n'), line.size()));
    // Device-tree strings end in NUL bytes.
    while (!line.empty() && (line.back() == '\0' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

utsname hostName() {
    utsname name{};
    uname(&name);
    return name;
}

std::string model() {
    for (const char* path :
         {"/sys/devices/virtual/dmi/id/product_name", "/proc/device-tree/model"}) {
        std::string text = firstLineOf(path);
        if (!text.empty()) {
            return text;
        }
    }
    return hostName().machine;
}

std::int32_t logicalProcessors() {
    return static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_CONF));
}

// Distinct (package, core) pairs; without topology files every logical processor counts.
std::int32_t physicalProcessors() {
    std::set<std::pair<std::string, std::string>> cores;
    for (std::int32_t cpu = 0; cpu < logicalProcessors(); ++cpu) {
        std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        std::string package = firstLineOf(topology + "physical_package_id");
        std::string core = firstLineOf(topology + "core_id");
        if (core.empty()) {
            return logicalProcessors();
        }
        cores.emplace(package, core);
    }
    return cores.empty() ? logicalProcessors() : static_cast<std::int32_t>(cores.size());
}

#if defined(__aarch64__)
constexpr std::int32_t kCpuType = CPU_TYPE_ARM64;
constexpr std::int32_t kCpuSubtype = 0; // all ARM64 processors
#else
constexpr std::int32_t kCpuType = CPU_TYPE_X86_64;
constexpr std::int32_t kCpuSubtype = 3; // all x86_64 processors
#endif

const std::map<std::string, std::function<std::string()>>& table() {
    static const std::map<std::string, std::function<std::string()>> keys = {
        {"kern.osrelease", [] { return stringValue(hostName().release); }},
        {"kern.osversion", [] { return stringValue(hostName().version); }},
        {"hw.model", [] { return stringValue(model()); }},
        {"hw.cputype", [] { return intValue(kCpuType); }},
        {"hw.cpusubtype", [] { return intValue(kCpuSubtype); }},
        {"hw.physicalcpu_max", [] { return intValue(physicalProcessors()); }},
        {"hw.logicalcpu_max", [] { return intValue(logicalProcessors()); }},
        // The process runs as built for this machine, not translated.
        {"sysctl.proc_native", [] { return intValue(1); }},
    };
    return keys;
}

} // namespace

std::optional<std::string> tableValue(const std::string& name) {
    auto key = table().find(name);
    if (key == table().end()) {
        return std::nullopt;
    }
    return key->second();
}

} // namespace platform::sysctl
