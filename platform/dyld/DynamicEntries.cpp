#include "platform/dyld/DynamicEntries.h"

#include <cstdint>
#include <cstring>

namespace platform::dyld {

DynamicEntries dynamicEntriesOf(const ElfW(Dyn) * dynamic, ElfW(Addr) base) {
    DynamicEntries entries;
    if (dynamic == nullptr) {
        return entries;
    }
    std::uintptr_t strings = 0;
    std::size_t stringsSize = 0;
    std::optional<std::uintptr_t> soname;
    std::vector<std::uintptr_t> needed;
    std::optional<std::uintptr_t> rPath;
    std::optional<std::uintptr_t> runPath;
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
        case DT_STRTAB:
            strings = entry->d_un.d_ptr;
            break;
        case DT_STRSZ:
            stringsSize = entry->d_un.d_val;
            break;
        case DT_SONAME:
            soname = entry->d_un.d_val;
            break;
        case DT_NEEDED:
            needed.push_back(entry->d_un.d_val);
            break;
        case DT_RPATH:
            rPath = entry->d_un.d_val;
            break;
        case DT_RUNPATH:
            runPath = entry->d_un.d_val;
            break;
        default:
            break;
        }
    }
    if (strings == 0) {
        return entries;
    }
    // The loader relocates the table's address in place where the dynamic section is writable.
    if (strings < base) {
        strings += base;
    }
    // A damaged section could point past its string table; such an entry is taken as absent.
    const auto text = [strings, stringsSize](std::uintptr_t offset) -> std::optional<std::string> {
        if (offset >= stringsSize) {
            return std::nullopt;
        }
        const auto* start = reinterpret_cast<const char*>(strings + offset);
        const std::size_t length = strnlen(start, stringsSize - offset);
        if (length == stringsSize - offset) {
            return std::nullopt;
        }
        return std::string(start, length);
    };
    entries.soname = soname ? text(*soname).value_or("") : "";
    for (std::uintptr_t offset : needed) {
        if (auto name = text(offset)) {
            entries.needed.push_back(std::move(*name));
        }
    }
    if (rPath) {
        entries.rPath = text(*rPath);
    }
    if (runPath) {
        entries.runPath = text(*runPath);
    }
    return entries;
}

DynamicEntries dynamicEntriesOf(const dl_phdr_info& info) {
    for (int index = 0; index < info.dlpi_phnum; ++index) {
        const auto& segment = info.dlpi_phdr[index];
        if (segment.p_type == PT_DYNAMIC) {
            return dynamicEntriesOf(
                reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + segment.p_vaddr),
                info.dlpi_addr);
        }
    }
    return {};
}

} // namespace platform::dyld
