// dlopen and dlclose as the process calls them: this library defines both, so calls from the
// application and from the libraries loaded after it come here first, and go on to the next
// definition (a sanitizer's, or the C library's). The image registry follows each call: objects
// a dlopen mapped are announced before it returns, and objects a dlclose may unmap are announced
// as leaving before the loader is asked. Normal context only.
//
// The loader sees these functions as the caller of its own dlopen, so a library named without a
// path is searched for on behalf of the real caller (BareNameSearch.h).
#include "platform/dyld/BareNameSearch.h"
#include "platform/dyld/FollowedObjects.h"
#include "platform/dyld/HandleObjects.h"
#include "platform/dyld/LoadedObjects.h"
#include "platform/dyld/LoaderLock.h"
#include "platform/dyld/OpenHandles.h"

#include <cstring>
#include <dlfcn.h>
#include <new>
#include <pthread.h>

namespace {

// Where nothing follows this library in its lookup scope (it came in through RTLD_DEEPBIND or
// dlmopen), the C library's own definition is taken: the one beside the dlsym this library is
// bound to, whose link map is a handle for it. Null only without either.
template <typename Function> Function* nextDefinition(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    Dl_info info;
    void* cLibrary = nullptr;
    if (found == nullptr &&
        dladdr1(reinterpret_cast<void*>(&dlsym), &info, &cLibrary, RTLD_DL_LINKMAP) != 0 &&
        cLibrary != nullptr) {
        found = dlsym(cLibrary, name);
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
    if (next == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(platform::dyld::loaderLock());
    const auto before = platform::dyld::loadedObjectHeaders();
    // "" names the main program, as a null file does: there is nothing to search for.
    const bool bareName = file != nullptr && file[0] != '\0' && std::strchr(file, '/') == nullptr;
    void* handle = bareName
                       ? platform::dyld::openBareName(file, mode, __builtin_return_address(0), next)
                       : next(file, mode);
    if (handle != nullptr) {
        auto mapped = platform::dyld::loadedObjectHeaders();
        std::erase_if(mapped, [&](std::uint64_t header) { return before.contains(header); });
        openHandles().opened(handle, mapped, platform::dyld::objectsKeptBy(handle));
        platform::dyld::followLoadedObjects();
    }
    return handle;
}

__attribute__((visibility("default"))) int dlclose(void* handle) {
    static auto* next = nextDefinition<int(void*)>("dlclose");
    if (next == nullptr) {
        return -1;
    }
    std::lock_guard lock(platform::dyld::loaderLock());
    platform::dyld::setAsideLeavingObjects(openHandles().closing(handle));
    const int result = next(handle);
    openHandles().closed(platform::dyld::loadedObjectHeaders());
    platform::dyld::followLoadedObjects();
    return result;
}

} // extern "C"
