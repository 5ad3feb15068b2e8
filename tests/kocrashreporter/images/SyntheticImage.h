// Small Mach-O images assembled in memory for the cases the linker never writes: chosen symbol
// tables, either byte order, 32-bit layouts. The header sits at the buffer's start, __TEXT
// starts at vmaddr 0 (so the slide is the buffer's address), and __LINKEDIT holds the symbols.
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SyntheticSymbol {
    std::string name;
    std::uint64_t value = 0;
    std::uint8_t type = N_SECT | N_EXT;
    std::uint16_t desc = 0;
};

struct SyntheticImageSpec {
    bool is64Bit = true;
    bool swapped = false;
    cpu_type_t cpuType = CPU_TYPE_ARM64;
    std::uint64_t textSize = 0x10000;
    std::vector<SyntheticSymbol> symbols;
    // (locals, globals) counts over symbols: locals first. No LC_DYSYMTAB when absent.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> dynamicSymbols;
    bool withSymtab = true;
};

class SyntheticImage {
public:
    explicit SyntheticImage(const SyntheticImageSpec& spec);

    std::uint64_t address() const { return reinterpret_cast<std::uintptr_t>(bytes_.data()); }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(bytes_.data()); }
    // Offsets of the load commands of that type in the buffer.
    std::vector<std::size_t> commandOffsets(std::uint32_t type) const;
    // Field writes in the image's byte order.
    void put32(std::size_t offset, std::uint32_t value);

private:
    SyntheticImageSpec spec_;
    std::vector<std::uint64_t> bytes_;
    std::vector<std::size_t> commands_;
};
