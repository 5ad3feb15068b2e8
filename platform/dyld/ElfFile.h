// What the loader stand-in takes from an ELF object's file on disk: its function symbols and
// where its .eh_frame section lies. Normal context only (reads the file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::dyld {

struct ElfFunctionSymbol {
    std::string name;
    // Link-time address (st_value).
    std::uint64_t value = 0;
    bool global = false;
};

struct ElfSectionRange {
    std::uint64_t address = 0;
    std::uint64_t size = 0;
};

struct ElfFileContents {
    // From .symtab when the file has one, else from .dynsym.
    std::vector<ElfFunctionSymbol> functions;
    std::optional<ElfSectionRange> ehFrame;
};

// nullopt when the file cannot be read or is not a 64-bit ELF file of this byte order.
std::optional<ElfFileContents> readElfFile(const std::string& path);

} // namespace platform::dyld
