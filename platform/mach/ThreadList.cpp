// May run at crash time: everything in this file (open, getdents64, lseek, close, and anonymous
// pages for task_threads' list).
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/SystemCall.h"

#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

// Calls visit(thread id) for each entry of the open /proc/self/task directory.
template <typename Visit> bool forEachThread(int directory, Visit visit) {
    if (lseek(directory, 0, SEEK_SET) != 0) {
        return false;
    }
    alignas(dirent64) char buffer[2048];
    for (;;) {
        long length = platform::systemCall(SYS_getdents64, directory, buffer, sizeof buffer);
        if (length < 0) {
            return false;
        }
        if (length == 0) {
            return true;
        }
        for (long offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            mach_port_name_t id = 0;
            const char* digit = entry->d_name;
            for (; *digit >= '0' && *digit <= '9'; ++digit) {
                id = id * 10 + static_cast<mach_port_name_t>(*digit - '0');
            }
            if (*digit == '\0' && digit != entry->d_name) {
                visit(id);
            }
        }
    }
}

mach_vm_size_t pagesFor(mach_msg_type_number_t count) {
    mach_vm_size_t bytes = count * sizeof(thread_act_t);
    return (bytes + vm_page_mask) & ~mach_vm_size_t{vm_page_mask};
}

} // namespace

kern_return_t task_threads_into(task_t task, thread_act_t* storage, mach_msg_type_number_t capacity,
                                mach_msg_type_number_t* count) {
    if (!platform::mach::isTaskSelf(task) || storage == nullptr || count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return KERN_FAILURE;
    }
    mach_msg_type_number_t filled = 0;
    const bool listed = forEachThread(directory, [&](mach_port_name_t id) {
        if (filled < capacity) {
            storage[filled++] = id;
        }
    });
    close(directory);
    if (!listed) {
        return KERN_FAILURE;
    }
    *count = filled;
    return KERN_SUCCESS;
}

kern_return_t task_threads(task_t task, thread_act_array_t* list, mach_msg_type_number_t* count) {
    if (!platform::mach::isTaskSelf(task) || list == nullptr || count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return KERN_FAILURE;
    }
    mach_msg_type_number_t seen = 0;
    bool listed = forEachThread(directory, [&](mach_port_name_t) { ++seen; });
    // Room for threads that start between the two passes.
    mach_msg_type_number_t capacity = seen + 64;
    mach_vm_address_t pages = 0;
    if (!listed ||
        mach_vm_allocate(task, &pages, pagesFor(capacity), VM_FLAGS_ANYWHERE) != KERN_SUCCESS) {
        close(directory);
        return KERN_RESOURCE_SHORTAGE;
    }
    auto* threads = reinterpret_cast<thread_act_t*>(static_cast<std::uintptr_t>(pages));
    mach_msg_type_number_t filled = 0;
    listed = forEachThread(directory, [&](mach_port_name_t id) {
        if (filled < capacity) {
            threads[filled++] = id;
        }
    });
    close(directory);
    if (!listed) {
        mach_vm_deallocate(task, pages, pagesFor(capacity));
        return KERN_FAILURE;
    }
    // The caller releases count entries' worth of pages; give back what lies beyond them.
    mach_vm_deallocate(task, pages + pagesFor(filled), pagesFor(capacity) - pagesFor(filled));
    *list = threads;
    *count = filled;
    return KERN_SUCCESS;
}

} // namespace platform::mach
