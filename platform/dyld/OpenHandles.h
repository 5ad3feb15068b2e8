// Which objects a dlclose may unmap, told before the loader is asked. The loader keeps an object
// while a handle that reaches it is open; which handles reach which objects it does not say, so
// each handle is credited with the objects its dlopen mapped anew, and an object whose handles
// are all closed stays a candidate for every later dlclose until the loader has unmapped it.
// A candidate the loader keeps (another library needs it, or it cannot be unloaded) is only
// announced as leaving too early, and comes back; an object is never unmapped unannounced unless
// it was mapped by a call that is not interposed. Normal context only; the caller serialises.
#pragma once

#include <cstdint>
#include <map>
#include <set>

namespace platform::dyld {

class OpenHandles {
public:
    // A successful dlopen returned handle, after mapping the objects named anew.
    void opened(void* handle, const std::set<std::uint64_t>& mapped);
    // Before the loader closes handle: the objects it may unmap.
    std::set<std::uint64_t> closing(void* handle);
    // After the loader's dlclose, with the objects still mapped.
    void closed(const std::set<std::uint64_t>& stillMapped);

private:
    struct Handle {
        int opens = 0;
        std::set<std::uint64_t> mapped;
    };
    std::map<void*, Handle> handles_;
    // Objects of handles closed for good that the loader has not unmapped yet.
    std::set<std::uint64_t> unclaimed_;
};

} // namespace platform::dyld
