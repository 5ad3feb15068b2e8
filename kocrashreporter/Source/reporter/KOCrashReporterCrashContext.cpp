#include "reporter/KOCrashReporterCrashContext.h"

#include "KOCrashLog.h"
#include "platform/core/ForkGeneration.h"
#include "platform/core/LibraryThread.h"
#include "platform/dyld/DyldImages.h"
#include "platform/dyld/LateObjectViews.h"
#include "platform/mach/MachPorts.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <unistd.h>

using kocrash::shared_image_list;

using platform::dyld::_dyld_register_func_for_add_image;
using platform::dyld::_dyld_register_func_for_remove_image;

using platform::mach::mach_task_self;

kocrash_crash_context kocrash::signal_handler_context;
kocrash_async_image_list kocrash::shared_image_list;
std::atomic<KOCrashReporterPostCrashSignalCallback> kocrash::crashCallbackFunction{nullptr};
std::atomic<void*> kocrash::crashCallbackContext{nullptr};

namespace {

// Set when an image could not be added (no memory was left to map its load commands): the list
// then does not hold every object the loader held, and reports keep listing them from its link
// map.
std::atomic<bool> imageLeftOut{false};

void image_add_callback(const mach_header* header, std::intptr_t) {
    platform::dyld::DlInfo info{};
    if (platform::dyld::dladdr(header, &info) == 0) {
        kocrash_log("[KOCrashReporter] %s: dladdr(%p, ...) failed", "image_add_callback",
                    static_cast<const void*>(header));
        return;
    }
    if (!kocrash_nasync_image_list_append(
            &shared_image_list, reinterpret_cast<kocrash_vm_address_t>(header), info.dli_fname)) {
        imageLeftOut.store(true);
    }
}

void image_remove_callback(const mach_header* header, std::intptr_t) {
    kocrash_nasync_image_list_remove(&shared_image_list,
                                     reinterpret_cast<kocrash_vm_address_t>(header));
    kocrash_nasync_image_list_wait_until_unread(&shared_image_list);
}

// The process the library was loaded in: a forked child has another id.
const pid_t loadedInProcess = getpid();

// Announcing the loaded objects builds a view of each, which takes tens of milliseconds: too long
// for the thread that sets the reporter up. Until it is done, a report lists the loader's objects
// from its link map, as it does for good when announcing fails (no memory was left). Removals are
// followed first, so an object closed meanwhile is never left in the list.
// While they are being announced, the process whose thread announces them, counted in forks: a
// child forked meanwhile has no such thread.
constexpr std::uint64_t kNotAnnouncing = ~std::uint64_t{0};
std::atomic<std::uint64_t> announcingGeneration{kNotAnnouncing};

void announce_loaded_images() {
    try {
        _dyld_register_func_for_remove_image(image_remove_callback);
        _dyld_register_func_for_add_image(image_add_callback);
        if (!imageLeftOut.load()) {
            kocrash_nasync_image_list_loader_announced(&shared_image_list);
        }
    } catch (const std::exception& error) {
        kocrash_log("[KOCrashReporter] The loaded images were not announced: %s", error.what());
    }
    announcingGeneration.store(kNotAnnouncing);
}

} // namespace

void kocrash_nasync_shared_image_list_start() {
    static std::once_flag started;
    std::call_once(started, [] {
        kocrash_nasync_image_list_init(&shared_image_list, mach_task_self());
        kocrash_nasync_image_list_follow_loader(&shared_image_list);
        platform::dyld::reserveLateViews();
        // A forked child announces them itself: nobody waits on its start, and an emulated
        // child of a process's main thread (qemu-user) cannot start a thread.
        if (getpid() != loadedInProcess) {
            announce_loaded_images();
            return;
        }
        announcingGeneration.store(platform::forkGeneration());
        try {
            platform::LibraryThread("davaror.images", announce_loaded_images).detach();
        } catch (const std::system_error&) {
            announce_loaded_images();
        }
    });
}

bool kocrash_nasync_shared_image_list_announcing() {
    return announcingGeneration.load() == platform::forkGeneration();
}
