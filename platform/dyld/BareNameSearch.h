// A library named without a path, opened as the loader opens it for the object holding the
// calling code. The interposed dlopen is the loader's caller in place of the application, so the
// loader alone would search along this library's paths instead of the caller's. Normal context
// only.
#pragma once

namespace platform::dyld {

using LoaderOpen = void*(const char* file, int mode);

// In this order: an object already loaded that answers to the name (LoadedObjects.h); the
// caller's DT_RPATH, then the executable's unless the executable has a DT_RUNPATH (neither where
// the caller has a DT_RUNPATH); LD_LIBRARY_PATH as it was at start (not for set-uid programs);
// the caller's DT_RUNPATH; then the loader's own search (its cache and default directories). Unlike
// the loader, the DT_RPATH of the objects that loaded the caller is not searched. A file built
// for another ELF class or machine is passed over; any other file found ends the search, whatever
// open makes of it. $ORIGIN and $PLATFORM are expanded; $LIB is not.
void* openBareName(const char* name, int mode, const void* caller, LoaderOpen* open);

} // namespace platform::dyld
