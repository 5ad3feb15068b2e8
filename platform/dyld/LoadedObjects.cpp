#include "platform/dyld/LoadedObjects.h"

#include <climits>
#include <cstddef>
#include <optional>
#include <unistd.h>

namespace platform::dyld {
namespace {

std::optional<std::uint64_t> firstSegmentAddress(const dl_phdr_info& info) {
    std::optional<std::uint64_t> lowest;
    for (int index = 0; index < info.dlpi_phnum; ++index) {
        const auto& segment = info.dlpi_phdr[index];
        if (segment.p_type == PT_LOAD && (!lowest || segment.p_vaddr < *lowest)) {
            lowest = segment.p_vaddr;
        }
    }
    if (!lowest) {
        return std::nullopt;
    }
    return info.dlpi_addr + *lowest;
}

LoaderCounts countsOf(const dl_phdr_info& info, std::size_t size) {
    if (size < offsetof(dl_phdr_info, dlpi_subs) + sizeof(info.dlpi_subs)) {
        return {};
    }
    return {info.dlpi_adds, info.dlpi_subs};
}

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

// The loader writes its objects' names under its own lock, which the thread sanitizer does not
// see; dl_iterate_phdr holds that lock while the name is copied here.
__attribute__((no_sanitize("thread"))) std::string copyName(const char* name) {
    std::string copy;
    for (; name != nullptr && *name != '\0'; ++name) {
        copy.push_back(*name);
    }
    return copy;
}

struct Visit {
    const std::function<void(const LoadedObject&)>& visit;
    std::optional<LoaderCounts> counts;
};

} // namespace

std::string LoadedObject::path() const {
    return name.empty() ? executablePath() : name;
}

LoaderCounts loaderCounts() {
    LoaderCounts counts;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t size, void* context) {
            *static_cast<LoaderCounts*>(context) = countsOf(*info, size);
            return 1;
        },
        &counts);
    return counts;
}

LoaderCounts visitLoadedObjects(const std::function<void(const LoadedObject&)>& visit) {
    Visit state{visit, std::nullopt};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t size, void* context) {
            auto* state = static_cast<Visit*>(context);
            if (!state->counts) {
                state->counts = countsOf(*info, size);
            }
            if (auto header = firstSegmentAddress(*info)) {
                state->visit(LoadedObject{*header, copyName(info->dlpi_name), *info});
            }
            return 0;
        },
        &state);
    return state.counts.value_or(LoaderCounts{});
}

} // namespace platform::dyld
