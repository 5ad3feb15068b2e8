// The one lock of the loader stand-in. The image registry and the interposed dlopen and dlclose
// all take it, so that no object is announced, set aside or followed while another thread is
// between announcing an object's removal and the loader's unmapping of it. Recursive: the loader
// runs a library's constructors and destructors, and the registry its callbacks, while it is
// held, and those may call back in. Never destroyed, as objects may be closed during exit.
// Normal context only.
#pragma once

#include <mutex>

namespace platform::dyld {

inline std::recursive_mutex& loaderLock() {
    static auto* lock = new std::recursive_mutex();
    return *lock;
}

} // namespace platform::dyld
