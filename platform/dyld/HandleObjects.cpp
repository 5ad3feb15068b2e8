#include "platform/dyld/HandleObjects.h"

#include "platform/dyld/LoadedObjects.h"

#include <algorithm>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <vector>

namespace platform::dyld {

std::set<std::uint64_t> objectsKeptBy(void* handle) {
    link_map* own = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) {
        return {};
    }
    const auto objects = loadedObjects();
    // Several objects may share a soname or a file name: the handle's own object is the one at
    // its link map's load bias.
    std::vector<const LoadedObject*> pending;
    for (const auto& object : objects) {
        if (object.info.dlpi_addr == own->l_addr && object.name == own->l_name) {
            pending.push_back(&object);
        }
    }
    std::set<std::uint64_t> kept;
    while (!pending.empty()) {
        const LoadedObject* object = pending.back();
        pending.pop_back();
        if (!kept.insert(object->headerAddress).second) {
            continue;
        }
        // The loader binds a needed name to the first object in its list that answers to it.
        for (const auto& needed : object->entries.needed) {
            auto found =
                std::find_if(objects.begin(), objects.end(),
                             [&](const LoadedObject& other) { return answersTo(other, needed); });
            if (found != objects.end()) {
                pending.push_back(&*found);
            }
        }
    }
    return kept;
}

} // namespace platform::dyld
