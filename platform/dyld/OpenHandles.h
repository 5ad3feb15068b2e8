// Which objects a dlclose may unmap, told before the loader is asked. The loader keeps an object
// while a handle that reaches it is open, so each handle is credited with the objects its dlopen
// mapped anew and, among those some dlopen mapped, the objects it keeps (its own object and the
// libraries it needs). A dlclose that closes a handle for good may unmap what that handle owns
// and no other open handle does; whatever the loader keeps then (it cannot be unloaded, or it
// is needed from elsewhere) is only announced as leaving that once, and is no candidate of any
// later dlclose unless a handle that owns it is closed. Normal context only; the caller
// serialises.
#pragma once

#include <cstdint>
#include <map>
#include <set>

namespace platform::dyld {

class OpenHandles {
public:
    // A successful dlopen returned handle, after mapping the objects named anew; kept: the
    // objects the handle keeps mapped.
    void opened(void* handle, const std::set<std::uint64_t>& mapped,
                const std::set<std::uint64_t>& kept);
    // Before the loader closes handle: the objects it may unmap.
    std::set<std::uint64_t> closing(void* handle);
    // After the loader's dlclose, with the objects still mapped.
    void closed(const std::set<std::uint64_t>& stillMapped);

private:
    struct Handle {
        int opens = 0;
        std::set<std::uint64_t> owned;
    };
    std::map<void*, Handle> handles_;
    // Objects an interposed dlopen mapped that are still mapped: the only ones a dlclose unmaps.
    std::set<std::uint64_t> mappedByOpens_;
};

} // namespace platform::dyld
