#include "platform/dyld/CallerRunPaths.h"

#include "platform/dyld/LoadedObjects.h"

#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <optional>
#include <string_view>

namespace platform::dyld {
namespace {

std::string withOrigin(std::string directory, const std::string& origin) {
    for (std::string_view name : {"${ORIGIN}", "$ORIGIN"}) {
        for (auto at = directory.find(name); at != std::string::npos;
             at = directory.find(name, at + origin.size())) {
            directory.replace(at, name.size(), origin);
        }
    }
    return directory;
}

} // namespace

std::vector<std::string> runPathsOf(const void* code) {
    Dl_info info;
    link_map* object = nullptr;
    if (dladdr1(code, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
        object == nullptr || object->l_ld == nullptr) {
        return {};
    }
    std::uintptr_t strings = 0;
    std::optional<std::uintptr_t> runPath;
    std::optional<std::uintptr_t> rPath;
    for (const ElfW(Dyn)* entry = object->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_STRTAB) {
            strings = entry->d_un.d_ptr;
        } else if (entry->d_tag == DT_RUNPATH) {
            runPath = entry->d_un.d_val;
        } else if (entry->d_tag == DT_RPATH) {
            rPath = entry->d_un.d_val;
        }
    }
    const auto offset = runPath ? runPath : rPath;
    if (strings == 0 || !offset) {
        return {};
    }
    // The loader relocates the table's address in place where the dynamic section is writable.
    if (strings < object->l_addr) {
        strings += object->l_addr;
    }
    const std::string path = object->l_name[0] != '\0' ? object->l_name : executablePath();
    const std::string origin = std::filesystem::path(path).parent_path().string();
    std::vector<std::string> directories;
    std::string_view list(reinterpret_cast<const char*>(strings + *offset));
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start) {
            directories.push_back(withOrigin(std::string(list.substr(start, end - start)), origin));
        }
        start = end + 1;
    }
    return directories;
}

} // namespace platform::dyld
