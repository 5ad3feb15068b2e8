// The directories the loader searches, for a library named without a path, on behalf of the
// object holding some code: that object's DT_RUNPATH, else its DT_RPATH, with $ORIGIN expanded.
// The interposed dlopen is the loader's caller in place of the application, so a library the
// loader does not find from there is looked for again along the real caller's paths. Normal
// context only.
#pragma once

#include <string>
#include <vector>

namespace platform::dyld {

std::vector<std::string> runPathsOf(const void* code);

} // namespace platform::dyld
