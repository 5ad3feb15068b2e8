#include "platform/dyld/BareNameSearch.h"

#include "platform/dyld/DynamicEntries.h"
#include "platform/dyld/LoadedObjects.h"

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/auxv.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform::dyld {
namespace {

std::string directoryOf(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

std::string expanded(std::string directory, const std::string& origin) {
    const auto* platform = reinterpret_cast<const char*>(getauxval(AT_PLATFORM));
    const std::pair<std::string_view, std::string> tokens[] = {
        {"ORIGIN", origin}, {"PLATFORM", platform != nullptr ? platform : ""}};
    for (const auto& [token, value] : tokens) {
        for (const std::string& name :
             {"${" + std::string(token) + "}", "$" + std::string(token)}) {
            for (auto at = directory.find(name); at != std::string::npos;
                 at = directory.find(name, at + value.size())) {
                directory.replace(at, name.size(), value);
            }
        }
    }
    return directory;
}

class SearchPath {
public:
    // A set-uid program's $ORIGIN is not trusted; the loader refuses most of them too.
    void append(const std::optional<std::string>& list, const std::string& origin) {
        if (!list) {
            return;
        }
        const bool secure = getauxval(AT_SECURE) != 0;
        std::string_view rest(*list);
        for (std::size_t start = 0; start <= rest.size();) {
            const std::size_t end = std::min(rest.find(':', start), rest.size());
            const std::string directory(rest.substr(start, end - start));
            if (!directory.empty() && !(secure && directory.find("ORIGIN") != std::string::npos)) {
                directories_.push_back(expanded(directory, origin));
            }
            start = end + 1;
        }
    }
    const std::vector<std::string>& directories() const { return directories_; }

private:
    std::vector<std::string> directories_;
};

std::optional<std::string> libraryPathVariable() {
    const char* value = getauxval(AT_SECURE) == 0 ? std::getenv("LD_LIBRARY_PATH") : nullptr;
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace

void* openBareName(const char* name, int mode, const void* caller, LoaderOpen* open) {
    const auto objects = loadedObjects();
    for (const auto& object : objects) {
        if (dynamicEntriesOf(object.info).soname == name) {
            return open(object.path().c_str(), mode);
        }
    }
    Dl_info info;
    link_map* callerObject = nullptr;
    if (dladdr1(caller, &info, reinterpret_cast<void**>(&callerObject), RTLD_DL_LINKMAP) == 0 ||
        callerObject == nullptr || objects.empty()) {
        return open(name, mode);
    }
    const bool callerIsExecutable = callerObject->l_name[0] == '\0';
    const std::string executableOrigin = directoryOf(executablePath());
    const std::string callerOrigin =
        callerIsExecutable ? executableOrigin : directoryOf(callerObject->l_name);
    const auto callerEntries = dynamicEntriesOf(callerObject->l_ld, callerObject->l_addr);
    SearchPath search;
    if (!callerEntries.runPath) {
        search.append(callerEntries.rPath, callerOrigin);
        if (!callerIsExecutable) {
            search.append(dynamicEntriesOf(objects.front().info).rPath, executableOrigin);
        }
    }
    search.append(libraryPathVariable(), executableOrigin);
    search.append(callerEntries.runPath, callerOrigin);
    for (const auto& directory : search.directories()) {
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), F_OK) == 0) {
            return open(candidate.c_str(), mode);
        }
    }
    return open(name, mode);
}

} // namespace platform::dyld
