// Reading the load commands of a native-order Mach-O image in normal context: its segments and
// its symbol table, for the loader stand-in's own bookkeeping (mapping files, dladdr).
// Everything is bounds-checked against the bytes given; malformed images yield nothing.
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::dyld {

struct MachOSegment {
    std::string name;
    std::uint64_t vmaddr = 0;
    std::uint64_t vmsize = 0;
    std::uint64_t fileoff = 0;
    std::uint64_t filesize = 0;
    vm_prot_t initprot = 0;
};

struct MachOLoadCommands {
    bool is64Bit = false;
    std::uint32_t filetype = 0;
    std::vector<MachOSegment> segments;
    std::optional<symtab_command> symtab;
    std::optional<dyld_info_command> dyldInfo;

    const MachOSegment* segment(const std::string& name) const;
};

// The header and commands at the start of bytes; nullopt when they are not a native Mach-O
// image or do not fit.
std::optional<MachOLoadCommands> readLoadCommands(std::span<const std::uint8_t> bytes);

} // namespace platform::dyld
