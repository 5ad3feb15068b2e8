// dlopen and dlclose as the process calls them: this library defines both, so calls from the
// application and from the libraries loaded after it come here first, and go on to the next
// definition (a sanitizer's, or the C library's). The image registry follows each call: objects
// a dlopen mapped are announced before it returns, and objects a dlclose may unmap are announced
// as leaving before the loader is asked. Normal context only.
//
// The loader sees these functions as the caller of its own dlopen, so a library named without a
// path that it does not find is looked for again along the caller's run paths.
#include "platform/dyld/CallerRunPaths.h"
#include "platform/dyld/FollowedObjects.h"
#include "platform/dyld/LoadedObjects.h"
#include "platform/dyld/LoaderLock.h"
#include "platform/dyld/OpenHandles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace {

template <typename Function> Function* nextDefinition(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        // Nothing can be loaded or unloaded without it.
        std::fprintf(stderr, "no definition of %s after the loader stand-in\n", name);
        std::abort();
    }
    return reinterpret_cast<Function*>(found);
}

platform::dyld::OpenHandles& openHandles() {
    static auto* handles = new platform::dyld::OpenHandles();
    return *handles;
}

} // namespace

std::recursive_mutex& platform::dyld::loaderLock() {
    // A child forked while another thread held the lock would find it held for ever: fork waits
    // until the lock is free and holds it across; the child, whose thread the lock would not
    // take for its holder, starts with a fresh one.
    static auto* lock = [] {
        auto* created = new std::recursive_mutex();
        pthread_atfork([] { platform::dyld::loaderLock().lock(); },
                       [] { platform::dyld::loaderLock().unlock(); },
                       [] { new (&platform::dyld::loaderLock()) std::recursive_mutex(); });
        return created;
    }();
    return *lock;
}

extern "C" {

__attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    static auto* next = nextDefinition<void*(const char*, int)>("dlopen");
    std::lock_guard lock(platform::dyld::loaderLock());
    const auto before = platform::dyld::loadedObjectHeaders();
    void* handle = next(file, mode);
    if (handle == nullptr && file != nullptr && std::strchr(file, '/') == nullptr) {
        // Only files that exist are tried, so the loader's own error stays when none does.
        for (const auto& directory : platform::dyld::runPathsOf(__builtin_return_address(0))) {
            const std::string candidate = directory + "/" + file;
            if (access(candidate.c_str(), F_OK) == 0 &&
                (handle = next(candidate.c_str(), mode)) != nullptr) {
                break;
            }
        }
    }
    if (handle != nullptr) {
        auto mapped = platform::dyld::loadedObjectHeaders();
        std::erase_if(mapped, [&](std::uint64_t header) { return before.contains(header); });
        openHandles().opened(handle, mapped);
        platform::dyld::followLoadedObjects();
    }
    return handle;
}

__attribute__((visibility("default"))) int dlclose(void* handle) {
    static auto* next = nextDefinition<int(void*)>("dlclose");
    std::lock_guard lock(platform::dyld::loaderLock());
    platform::dyld::setAsideLeavingObjects(openHandles().closing(handle));
    const int result = next(handle);
    openHandles().closed(platform::dyld::loadedObjectHeaders());
    platform::dyld::followLoadedObjects();
    return result;
}

} // extern "C"
