// Small Mach-O images assembled in memory for the cases the linker never writes: chosen symbol
// tables, either byte order, 32-bit layouts, legacy object metadata. The header sits at the
// buffer's start, __TEXT starts at vmaddr 0 (so the slide is the buffer's address), __LINKEDIT
// holds the symbols and an optional __OBJC segment follows it.
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

// A section of the __OBJC segment: a range of its contents.
struct SyntheticSection {
    std::string name;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
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
    // The __OBJC segment's bytes, at SyntheticImage::kObjcOffset of the image; no segment when
    // both are empty.
    std::vector<std::uint8_t> objcContents;
    std::vector<SyntheticSection> objcSections;
};

class SyntheticImage {
public:
    // Offset (and vmaddr) of the __OBJC segment; the symbols must end before it.
    static constexpr std::uint64_t kObjcOffset = 0x4000;

    // Throws std::logic_error when the symbols reach into the __OBJC segment.
    explicit SyntheticImage(const SyntheticImageSpec& spec);

    std::uint64_t address() const { return reinterpret_cast<std::uintptr_t>(bytes_.data()); }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(bytes_.data()); }
    std::size_t size() const { return size_; }
    // Offsets of the load commands of that type in the buffer.
    std::vector<std::size_t> commandOffsets(std::uint32_t type) const;
    // Field writes in the image's byte order.
    void put32(std::size_t offset, std::uint32_t value);

private:
    SyntheticImageSpec spec_;
    std::vector<std::uint64_t> bytes_;
    std::vector<std::size_t> commands_;
    std::size_t size_ = 0;
};
