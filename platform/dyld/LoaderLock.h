// The one lock of the loader stand-in. The interposed dlopen and dlclose hold it across the
// loader's work, and the image registry takes it for every operation, so that no object is
// announced, set aside or followed while another thread is between announcing an object's
// removal and the loader's unmapping of it. Recursive: the loader runs a library's constructors
// and destructors, and the registry its callbacks, while it is held, and those may call back in.
// Never destroyed, as objects may be closed during exit. Normal context only.
// Order: this lock, then the C library's loader locks. Reaching the registry while the C library
// holds them without this lock (destructors at exit, constructors under a dlopen not interposed,
// dl_iterate_phdr callbacks) can deadlock against a thread inside the interposed dlopen.
#pragma once

#include <mutex>

namespace platform::dyld {

// Defined beside the interposed calls (LoaderInterposition.cpp): every program that uses the
// registry thereby links them too, even where a sanitizer's or the C library's dlopen would
// otherwise satisfy the link.
std::recursive_mutex& loaderLock();

} // namespace platform::dyld
