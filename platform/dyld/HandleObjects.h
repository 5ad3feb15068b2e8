// The objects a dlopen handle keeps mapped, as the loaded objects' dynamic sections tell: the
// handle's own object and, through DT_NEEDED, every library it needs, each known by its header
// address. Normal context only.
#pragma once

#include <cstdint>
#include <set>

namespace platform::dyld {

std::set<std::uint64_t> objectsKeptBy(void* handle);

} // namespace platform::dyld
