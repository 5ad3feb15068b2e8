// An ELF file read whole from disk: its class, byte order and machine, and its sections,
// loadable segments and symbols, in either class and either byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ElfSection {
    std::string name;
    std::uint64_t address;
    std::uint64_t offset;
    std::uint64_t size;
};

struct ElfSegment {
    std::uint64_t address;
    std::uint64_t offset;
    std::uint64_t fileSize;
    std::uint64_t memorySize;
    bool executable;
};

struct ElfSymbol {
    std::string name;
    std::uint64_t address;
    std::uint64_t size;
    bool isFunction;
};

class ElfFile {
public:
    // Throws std::runtime_error when the file cannot be read or is not ELF.
    explicit ElfFile(const std::string& path);

    const std::string& path() const { return path_; }
    bool is64Bit() const { return is64Bit_; }
    bool isBigEndian() const { return bigEndian_; }
    std::uint16_t machine() const { return machine_; }

    std::optional<ElfSection> section(const std::string& name) const;
    const std::vector<ElfSegment>& loadSegments() const { return segments_; }
    // Both symbol tables (.symtab and .dynsym), defined symbols only.
    const std::vector<ElfSymbol>& symbols() const { return symbols_; }
    // The function symbol whose range holds address, if any.
    std::optional<ElfSymbol> functionContaining(std::uint64_t address) const;

    const std::uint8_t* bytesAt(std::uint64_t offset) const { return bytes_.data() + offset; }

private:
    std::uint64_t read(std::uint64_t offset, unsigned size) const;
    void readSymbols(const ElfSection& table, const ElfSection& strings);

    std::string path_;
    std::vector<std::uint8_t> bytes_;
    bool is64Bit_ = false;
    bool bigEndian_ = false;
    std::uint16_t machine_ = 0;
    std::vector<ElfSection> sections_;
    std::vector<ElfSegment> segments_;
    std::vector<ElfSymbol> symbols_;
};
