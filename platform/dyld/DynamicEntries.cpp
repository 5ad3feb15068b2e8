#include "platform/dyld/DynamicEntries.h"

#include <cstdint>

namespace platform::dyld {

DynamicEntries dynamicEntriesOf(const ElfW(Dyn) * dynamic, ElfW(Addr) base) {
    DynamicEntries entries;
    if (dynamic == nullptr) {
        return entries;
    }
    std::uintptr_t strings = 0;
    std::optional<std::uintptr_t> soname;
    std::vector<std::uintptr_t> needed;
    std::optional<std::uintptr_t> rPath;
    std::optional<std::uintptr_t> runPath;
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
        case DT_STRTAB:
            strings = entry->d_un.d_ptr;
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
    const auto text = [strings](std::uintptr_t offset) {
        return std::string(reinterpret_cast<const char*>(strings + offset));
    };
    entries.soname = soname ? text(*soname) : "";
    for (std::uintptr_t offset : needed) {
        entries.needed.push_back(text(offset));
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
