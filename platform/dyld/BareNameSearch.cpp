#include "platform/dyld/BareNameSearch.h"

#include "platform/dyld/DynamicEntries.h"
#include "platform/dyld/LoadedObjects.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <filesystem>
#include <fstream>
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

// The loader reads LD_LIBRARY_PATH once, at start; a program that changes its environment later
// does not move the search. Read while this library is initialised, or at the first search if a
// constructor that ran before asks first.
const std::optional<std::string>& libraryPathAtStart() {
    static const std::optional<std::string> value = []() -> std::optional<std::string> {
        const char* variable = getauxval(AT_SECURE) == 0 ? std::getenv("LD_LIBRARY_PATH") : nullptr;
        return variable != nullptr ? std::optional<std::string>(variable) : std::nullopt;
    }();
    return value;
}

[[maybe_unused]] __attribute__((constructor)) void readLibraryPathAtStart() {
    libraryPathAtStart();
}

// The loader passes over a file built for another ELF class or machine and searches on; any other
// file it finds, even one that is no ELF object, ends the search with whatever opening it gives.
bool builtForAnotherMachine(const std::string& path) {
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&builtForAnotherMachine), &info) == 0 ||
        info.dli_fbase == nullptr) {
        return false;
    }
    const auto* own = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    // e_machine lies at the same offset in both classes, right after e_type.
    unsigned char header[EI_NIDENT + 4];
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(header), sizeof(header)) ||
        std::memcmp(header, ELFMAG, SELFMAG) != 0) {
        return false;
    }
    if (header[EI_CLASS] != own->e_ident[EI_CLASS]) {
        return true;
    }
    if (header[EI_DATA] != own->e_ident[EI_DATA]) {
        return false;
    }
    std::uint16_t machine;
    std::memcpy(&machine, header + EI_NIDENT + 2, sizeof(machine));
    return machine != own->e_machine;
}

} // namespace

void* openBareName(const char* name, int mode, const void* caller, LoaderOpen* open) {
    const auto objects = loadedObjects();
    for (const auto& object : objects) {
        if (answersTo(object, name)) {
            return open(object.path().c_str(), mode);
        }
    }
    Dl_info info;
    link_map* callerMap = nullptr;
    if (dladdr1(caller, &info, reinterpret_cast<void**>(&callerMap), RTLD_DL_LINKMAP) == 0 ||
        callerMap == nullptr) {
        return open(name, mode);
    }
    const auto callerObject =
        std::find_if(objects.begin(), objects.end(), [callerMap](const LoadedObject& object) {
            return object.info.dlpi_addr == callerMap->l_addr && object.name == callerMap->l_name;
        });
    if (callerObject == objects.end()) {
        return open(name, mode);
    }
    const LoadedObject& executable = objects.front();
    const bool callerIsExecutable = callerObject == objects.begin();
    const std::string executableOrigin = directoryOf(executablePath());
    const std::string callerOrigin =
        callerIsExecutable ? executableOrigin : directoryOf(callerObject->name);
    const DynamicEntries& callerEntries = callerObject->entries;
    SearchPath search;
    if (!callerEntries.runPath) {
        search.append(callerEntries.rPath, callerOrigin);
        if (!callerIsExecutable && !executable.entries.runPath) {
            search.append(executable.entries.rPath, executableOrigin);
        }
    }
    search.append(libraryPathAtStart(), executableOrigin);
    search.append(callerEntries.runPath, callerOrigin);
    for (const auto& directory : search.directories()) {
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), F_OK) == 0 && !builtForAnotherMachine(candidate)) {
            return open(candidate.c_str(), mode);
        }
    }
    return open(name, mode);
}

} // namespace platform::dyld
