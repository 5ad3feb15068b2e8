// A library named without a path, opened as the loader opens it for the object holding the
// calling code. The interposed dlopen is the loader's caller in place of the application, so the
// loader alone would search along this library's paths instead of the caller's. Normal context
// only.
#pragma once

namespace platform::dyld {

using LoaderOpen = void*(const char* file, int mode);

// In the loader's order: an object already loaded under that name; the caller's DT_RPATH (only
// where it has no DT_RUNPATH), then the executable's; LD_LIBRARY_PATH (not for set-uid
// programs); the caller's DT_RUNPATH; then the loader's own search (its cache and default
// directories). The first file found ends the search, whatever open makes of it. $ORIGIN and
// $PLATFORM are expanded; $LIB is not.
void* openBareName(const char* name, int mode, const void* caller, LoaderOpen* open);

} // namespace platform::dyld
