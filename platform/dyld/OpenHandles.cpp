#include "platform/dyld/OpenHandles.h"

#include <algorithm>
#include <iterator>

namespace platform::dyld {

void OpenHandles::opened(void* handle, const std::set<std::uint64_t>& mapped) {
    Handle& record = handles_[handle];
    ++record.opens;
    record.mapped.insert(mapped.begin(), mapped.end());
    for (std::uint64_t object : mapped) {
        unclaimed_.erase(object);
    }
}

std::set<std::uint64_t> OpenHandles::closing(void* handle) {
    auto found = handles_.find(handle);
    if (found != handles_.end()) {
        // The loader keeps every object while the handle stays open.
        if (--found->second.opens > 0) {
            return {};
        }
        unclaimed_.merge(found->second.mapped);
        handles_.erase(found);
    }
    std::set<std::uint64_t> leaving;
    std::copy_if(unclaimed_.begin(), unclaimed_.end(), std::inserter(leaving, leaving.end()),
                 [this](std::uint64_t object) {
                     return std::none_of(handles_.begin(), handles_.end(), [&](const auto& open) {
                         return open.second.mapped.contains(object);
                     });
                 });
    return leaving;
}

void OpenHandles::closed(const std::set<std::uint64_t>& stillMapped) {
    std::erase_if(unclaimed_, [&](std::uint64_t object) { return !stillMapped.contains(object); });
}

} // namespace platform::dyld
