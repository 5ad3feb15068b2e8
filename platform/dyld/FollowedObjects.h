// What the interposed dlopen and dlclose tell the image registry. Both are called with
// loaderLock() held, and do nothing until the registry is first used: it then reads every object
// mapped at that moment. Normal context only.
#pragma once

#include <cstdint>
#include <set>

namespace platform::dyld {

// Announces the objects mapped since the registry last looked (add callbacks) and removes those
// gone; objects set aside and still mapped are announced again.
void followLoadedObjects();
// The remove callbacks for these objects, before the loader may unmap them. Their views are kept
// aside until followLoadedObjects() finds whether the loader unmapped them.
void setAsideLeavingObjects(const std::set<std::uint64_t>& headers);

} // namespace platform::dyld
