// Tests run as root, whom a file's or folder's mode stops only without the capabilities that
// override it. This takes them from the calling thread's effective set for its lifetime.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

class WithoutFileOverride {
public:
    WithoutFileOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct dropped[_LINUX_CAPABILITY_U32S_3] = {saved_[0], saved_[1]};
        dropped[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        dropped_ = syscall(SYS_capset, &header_, dropped) == 0;
    }
    ~WithoutFileOverride() {
        if (dropped_) {
            syscall(SYS_capset, &header_, saved_);
        }
    }
    WithoutFileOverride(const WithoutFileOverride&) = delete;
    WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

    bool dropped() const { return dropped_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3]{};
    bool dropped_ = false;
};

} // namespace testsupport
