#include "reporter/KOCrashReporterCrashContext.h"

#include "KOCrashLog.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"

#include <mutex>

using kocrash::shared_image_list;

using platform::dyld::_dyld_register_func_for_add_image;
using platform::dyld::_dyld_register_func_for_remove_image;

using platform::mach::mach_task_self;

kocrash_crash_context kocrash::signal_handler_context;
kocrash_async_image_list kocrash::shared_image_list;
std::atomic<KOCrashReporterPostCrashSignalCallback> kocrash::crashCallbackFunction{nullptr};
std::atomic<void*> kocrash::crashCallbackContext{nullptr};

namespace {

void image_add_callback(const mach_header* header, std::intptr_t) {
    platform::dyld::DlInfo info{};
    if (platform::dyld::dladdr(header, &info) == 0) {
        kocrash_log("[KOCrashReporter] %s: dladdr(%p, ...) failed", "image_add_callback",
                    static_cast<const void*>(header));
        return;
    }
    kocrash_nasync_image_list_append(
        &shared_image_list, reinterpret_cast<kocrash_vm_address_t>(header), info.dli_fname);
}

void image_remove_callback(const mach_header* header, std::intptr_t) {
    kocrash_nasync_image_list_remove(&shared_image_list,
                                     reinterpret_cast<kocrash_vm_address_t>(header));
    kocrash_nasync_image_list_wait_until_unread(&shared_image_list);
}

} // namespace

void kocrash_nasync_shared_image_list_start() {
    static std::once_flag started;
    std::call_once(started, [] {
        kocrash_nasync_image_list_init(&shared_image_list, mach_task_self());
        kocrash_nasync_image_list_follow_loader(&shared_image_list);
        _dyld_register_func_for_add_image(image_add_callback);
        _dyld_register_func_for_remove_image(image_remove_callback);
    });
}
