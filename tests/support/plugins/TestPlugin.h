// The test plugin as the tests open it: where it and the library it needs lie, what its build-id
// makes of its UUID, a handle that closes it, and whether the loader has a file mapped.
#pragma once

#include <cstdint>
#include <dlfcn.h>
#include <link.h>
#include <stdexcept>
#include <string>

namespace testplugin {

inline const std::string kPath = TEST_PLUGIN_PATH;
inline const std::string kHelperPath = TEST_PLUGIN_HELPER_PATH;
// The first 16 bytes of its build-id, two lower-case hexadecimal digits each.
inline constexpr const char* kUuidHex = "5011ad0bd1a5c0de0125dead10adbeef";

using CrashAt = void(std::uintptr_t address);
using Call = void(void (*callback)(void*), void* context);

class OpenedPlugin {
public:
    explicit OpenedPlugin(const std::string& path = kPath, int mode = RTLD_NOW)
        : handle_(dlopen(path.c_str(), mode)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(dlerror());
        }
    }
    ~OpenedPlugin() { dlclose(handle_); }
    OpenedPlugin(const OpenedPlugin&) = delete;
    OpenedPlugin& operator=(const OpenedPlugin&) = delete;

    template <typename Function> Function* function(const char* name) const {
        void* found = dlsym(handle_, name);
        if (found == nullptr) {
            throw std::runtime_error(name);
        }
        return reinterpret_cast<Function*>(found);
    }

private:
    void* handle_;
};

inline bool loaderLists(const std::string& path) {
    struct Search {
        const std::string& path;
        bool found;
    } search{path, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* context) {
            auto* search = static_cast<Search*>(context);
            search->found =
                search->found || (info->dlpi_name != nullptr && search->path == info->dlpi_name);
            return 0;
        },
        &search);
    return search.found;
}

} // namespace testplugin
