// The sysctl stand-in: the kernel facts the crash reporter reads, by name or by numeric name,
// backed by uname, /proc and sysconf. Tests can replace single keys. Normal context only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

inline constexpr int CTL_KERN = 1;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_PID = 1;
// Process flag: a debugger traces the process.
inline constexpr std::int32_t P_TRACED = 0x800;
inline constexpr int MAXCOMLEN = 16;

extern "C" {

struct ko_timeval {
    std::int64_t tv_sec;
    std::int32_t tv_usec;
};

// The kernel's process record (648 bytes); only the fields named here are filled.
struct extern_proc {
    ko_timeval p_starttime;
    std::uint64_t p_vmspace;
    std::uint64_t p_sigacts;
    std::int32_t p_flag;
    char p_stat;
    std::int32_t p_pid;
    std::int32_t p_oppid;
    std::uint8_t p_reserved[195];
    char p_comm[MAXCOMLEN + 1];
    std::uint8_t p_reserved_tail[36];
};

struct eproc {
    std::uint8_t e_reserved[264];
    std::int32_t e_ppid;
    std::int32_t e_pgid;
    std::uint8_t e_reserved_tail[80];
};

struct kinfo_proc {
    extern_proc kp_proc;
    eproc kp_eproc;
};

} // extern "C"

static_assert(sizeof(extern_proc) == 296);
static_assert(sizeof(kinfo_proc) == 648);

namespace platform::sysctl {

// Reads a value: with oldp null, *oldlenp receives its size; otherwise the value is copied when
// it fits (ENOMEM when it does not). Every key is read-only (EPERM for newp); unknown keys
// fail with ENOENT, processes that do not exist with ESRCH. These live in this namespace, not
// in the global one, so that they never stand in for the C library's own sysctl.
int sysctl(int* name, unsigned int namelen, void* oldp, std::size_t* oldlenp, void* newp,
           std::size_t newlen);
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, void* newp,
                 std::size_t newlen);

// A key's value as stored: strings with their terminating NUL, integers as 4 host-order bytes.
std::string stringValue(const std::string& text);
std::string intValue(std::int32_t value);

// Replaces one key while it lives (std::nullopt: the key does not exist), then restores it.
class ScopedOverride {
public:
    ScopedOverride(std::string name, std::optional<std::string> value);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

private:
    std::string name_;
    std::optional<std::optional<std::string>> previous_;
};

} // namespace platform::sysctl
