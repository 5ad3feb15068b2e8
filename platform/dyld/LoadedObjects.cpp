#include "platform/dyld/LoadedObjects.h"

#include <climits>
#include <filesystem>
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

} // namespace

dl_phdr_info LoadedObject::phdrInfo() const {
    dl_phdr_info copy = info;
    copy.dlpi_name = name.c_str();
    return copy;
}

std::string LoadedObject::path() const {
    return name.empty() ? executablePath() : name;
}

bool answersTo(const LoadedObject& object, std::string_view name) {
    if (name.empty()) {
        return false;
    }
    return object.entries.soname == name ||
           (!object.name.empty() && std::filesystem::path(object.name).filename() == name);
}

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::vector<LoadedObject> loadedObjects() {
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* context) {
            auto header = firstSegmentAddress(*info);
            if (header) {
                LoadedObject object{*header, info->dlpi_name != nullptr ? info->dlpi_name : "",
                                    *info, dynamicEntriesOf(*info)};
                object.info.dlpi_name = nullptr;
                static_cast<std::vector<LoadedObject>*>(context)->push_back(std::move(object));
            }
            return 0;
        },
        &objects);
    return objects;
}

std::set<std::uint64_t> loadedObjectHeaders() {
    std::set<std::uint64_t> headers;
    for (const auto& object : loadedObjects()) {
        headers.insert(object.headerAddress);
    }
    return headers;
}

} // namespace platform::dyld
