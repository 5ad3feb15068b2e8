#include "platform/dyld/HandleObjects.h"

#include "platform/dyld/DynamicEntries.h"
#include "platform/dyld/LoadedObjects.h"

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <string>
#include <vector>

namespace platform::dyld {
namespace {

struct Object {
    std::uint64_t header;
    std::string name;
    DynamicEntries entries;
};

// The loader matches a needed name against the names objects were loaded under, their sonames
// among them.
bool answersTo(const Object& object, const std::string& needed) {
    return object.entries.soname == needed ||
           std::filesystem::path(object.name).filename() == needed;
}

} // namespace

std::set<std::uint64_t> objectsKeptBy(void* handle) {
    link_map* own = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) {
        return {};
    }
    std::vector<Object> objects;
    for (const auto& object : loadedObjects()) {
        objects.push_back({object.headerAddress, object.name, dynamicEntriesOf(object.info)});
    }
    std::vector<const Object*> pending;
    for (const auto& object : objects) {
        if (object.name == own->l_name) {
            pending.push_back(&object);
        }
    }
    std::set<std::uint64_t> kept;
    while (!pending.empty()) {
        const Object* object = pending.back();
        pending.pop_back();
        if (!kept.insert(object->header).second) {
            continue;
        }
        for (const auto& needed : object->entries.needed) {
            auto found = std::find_if(objects.begin(), objects.end(), [&](const Object& other) {
                return answersTo(other, needed);
            });
            if (found != objects.end()) {
                pending.push_back(&*found);
            }
        }
    }
    return kept;
}

} // namespace platform::dyld
