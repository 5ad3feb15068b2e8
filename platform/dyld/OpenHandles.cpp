#include "platform/dyld/OpenHandles.h"

#include <algorithm>
#include <iterator>

namespace platform::dyld {

void OpenHandles::opened(void* handle, const std::set<std::uint64_t>& mapped,
                         const std::set<std::uint64_t>& kept) {
    mappedByOpens_.insert(mapped.begin(), mapped.end());
    Handle& record = handles_[handle];
    ++record.opens;
    record.owned.insert(mapped.begin(), mapped.end());
    std::copy_if(kept.begin(), kept.end(), std::inserter(record.owned, record.owned.end()),
                 [this](std::uint64_t object) { return mappedByOpens_.contains(object); });
}

std::set<std::uint64_t> OpenHandles::closing(void* handle) {
    auto found = handles_.find(handle);
    // The loader keeps every object while the handle stays open.
    if (found == handles_.end() || --found->second.opens > 0) {
        return {};
    }
    std::set<std::uint64_t> leaving = std::move(found->second.owned);
    handles_.erase(found);
    std::erase_if(leaving, [this](std::uint64_t object) {
        return std::any_of(handles_.begin(), handles_.end(),
                           [&](const auto& open) { return open.second.owned.contains(object); });
    });
    return leaving;
}

void OpenHandles::closed(const std::set<std::uint64_t>& stillMapped) {
    // An address unmapped now may be mapped again by another object, which no handle owns yet.
    const auto unmapped = [&](std::uint64_t object) { return !stillMapped.contains(object); };
    std::erase_if(mappedByOpens_, unmapped);
    for (auto& [handle, record] : handles_) {
        std::erase_if(record.owned, unmapped);
    }
}

} // namespace platform::dyld
