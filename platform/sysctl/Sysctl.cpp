#include "platform/sysctl/Sysctl.h"

#include "platform/core/ForkSafeMutex.h"
#include "platform/sysctl/ProcessRecord.h"
#include "platform/sysctl/SysctlTable.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace platform::sysctl {
namespace {

struct Overrides {
    platform::ForkSafeMutex mutex;
    std::map<std::string, std::optional<std::string>> values;
};

Overrides& overrides() {
    static Overrides instance;
    return instance;
}

std::optional<std::string> valueOf(const std::string& name) {
    {
        Overrides& all = overrides();
        std::lock_guard lock(all.mutex);
        auto replaced = all.values.find(name);
        if (replaced != all.values.end()) {
            return replaced->second;
        }
    }
    return tableValue(name);
}

int fail(int error) {
    errno = error;
    return -1;
}

int answer(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp, void* newp) {
    if (newp != nullptr) {
        return fail(EPERM);
    }
    if (oldlenp == nullptr) {
        return fail(EINVAL);
    }
    if (oldp == nullptr) {
        *oldlenp = size;
        return 0;
    }
    if (*oldlenp < size) {
        return fail(ENOMEM);
    }
    std::memcpy(oldp, value, size);
    *oldlenp = size;
    return 0;
}

} // namespace

std::string stringValue(const std::string& text) {
    return text + '\0';
}

std::string intValue(std::int32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

ScopedOverride::ScopedOverride(std::string name, std::optional<std::string> value)
    : name_(std::move(name)) {
    Overrides& all = overrides();
    std::lock_guard lock(all.mutex);
    auto existing = all.values.find(name_);
    if (existing != all.values.end()) {
        previous_ = existing->second;
    }
    all.values[name_] = std::move(value);
}

ScopedOverride::~ScopedOverride() {
    Overrides& all = overrides();
    std::lock_guard lock(all.mutex);
    if (previous_) {
        all.values[name_] = *previous_;
    } else {
        all.values.erase(name_);
    }
}

int sysctl(int* name, unsigned int namelen, void* oldp, std::size_t* oldlenp, void* newp,
           std::size_t /*newlen*/) {
    if (name == nullptr || namelen != 4 || name[0] != CTL_KERN || name[1] != KERN_PROC ||
        name[2] != KERN_PROC_PID) {
        return fail(ENOENT);
    }
    kinfo_proc record;
    int error = readProcessRecord(name[3], record);
    if (error != 0) {
        return fail(error);
    }
    return answer(&record, sizeof record, oldp, oldlenp, newp);
}

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, void* newp,
                 std::size_t /*newlen*/) {
    if (name == nullptr) {
        return fail(EINVAL);
    }
    std::optional<std::string> value = valueOf(name);
    if (!value) {
        return fail(ENOENT);
    }
    return answer(value->data(), value->size(), oldp, oldlenp, newp);
}

} // namespace platform::sysctl
