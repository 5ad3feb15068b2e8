#include "LoadedObjects.h"

#include <climits>
#include <link.h>
#include <unistd.h>

namespace {

std::string executablePath() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

struct Collection {
    std::vector<LoadedObject> objects;
    bool first = true;
};

// The loader reports the executable first, under an empty name.
int collect(dl_phdr_info* info, std::size_t, void* data) {
    auto* collection = static_cast<Collection*>(data);
    LoadedObject object{info->dlpi_name != nullptr ? info->dlpi_name : "", info->dlpi_addr, 0};
    if (collection->first) {
        object.path = executablePath();
        collection->first = false;
    }
    for (int index = 0; index < info->dlpi_phnum; ++index) {
        if (info->dlpi_phdr[index].p_type == PT_GNU_EH_FRAME) {
            object.ehFrameHeader = info->dlpi_addr + info->dlpi_phdr[index].p_vaddr;
        }
    }
    // The kernel's virtual shared object has no file.
    if (!object.path.empty()) {
        collection->objects.push_back(object);
    }
    return 0;
}

} // namespace

std::vector<LoadedObject> loadedObjects() {
    Collection collection;
    dl_iterate_phdr(collect, &collection);
    return collection.objects;
}

std::optional<LoadedObject> loadedObject(const std::string& fileNamePrefix) {
    std::vector<LoadedObject> objects = loadedObjects();
    if (fileNamePrefix.empty()) {
        return objects.empty() ? std::nullopt : std::optional(objects.front());
    }
    for (const LoadedObject& object : objects) {
        const std::string fileName = object.path.substr(object.path.rfind('/') + 1);
        if (fileName.rfind(fileNamePrefix, 0) == 0) {
            return object;
        }
    }
    return std::nullopt;
}
