#include "ElfFile.h"

#include <elf.h>
#include <fstream>
#include <iterator>
#include <stdexcept>

ElfFile::ElfFile(const std::string& path) : path_(path) {
    std::ifstream file(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (bytes_.size() < EI_NIDENT || bytes_[EI_MAG0] != ELFMAG0 || bytes_[EI_MAG1] != ELFMAG1 ||
        bytes_[EI_MAG2] != ELFMAG2 || bytes_[EI_MAG3] != ELFMAG3) {
        throw std::runtime_error("not an ELF file: " + path);
    }
    is64Bit_ = bytes_[EI_CLASS] == ELFCLASS64;
    bigEndian_ = bytes_[EI_DATA] == ELFDATA2MSB;
    machine_ = static_cast<std::uint16_t>(read(18, 2));

    const std::uint64_t phoff = is64Bit_ ? read(32, 8) : read(28, 4);
    const std::uint64_t shoff = is64Bit_ ? read(40, 8) : read(32, 4);
    const unsigned phentsize = static_cast<unsigned>(read(is64Bit_ ? 54 : 42, 2));
    const unsigned phnum = static_cast<unsigned>(read(is64Bit_ ? 56 : 44, 2));
    const unsigned shentsize = static_cast<unsigned>(read(is64Bit_ ? 58 : 46, 2));
    const unsigned shnum = static_cast<unsigned>(read(is64Bit_ ? 60 : 48, 2));
    const unsigned shstrndx = static_cast<unsigned>(read(is64Bit_ ? 62 : 50, 2));

    for (unsigned index = 0; index < phnum; ++index) {
        const std::uint64_t header = phoff + std::uint64_t{index} * phentsize;
        if (read(header, 4) != PT_LOAD) {
            continue;
        }
        ElfSegment segment{};
        if (is64Bit_) {
            segment.executable = (read(header + 4, 4) & PF_X) != 0;
            segment.offset = read(header + 8, 8);
            segment.address = read(header + 16, 8);
            segment.fileSize = read(header + 32, 8);
            segment.memorySize = read(header + 40, 8);
        } else {
            segment.offset = read(header + 4, 4);
            segment.address = read(header + 8, 4);
            segment.fileSize = read(header + 16, 4);
            segment.memorySize = read(header + 20, 4);
            segment.executable = (read(header + 24, 4) & PF_X) != 0;
        }
        segments_.push_back(segment);
    }

    struct Raw {
        std::uint32_t nameOffset;
        std::uint32_t type;
        ElfSection section;
        std::uint32_t link;
    };
    std::vector<Raw> raw;
    for (unsigned index = 0; index < shnum; ++index) {
        const std::uint64_t header = shoff + std::uint64_t{index} * shentsize;
        Raw entry{};
        entry.nameOffset = static_cast<std::uint32_t>(read(header, 4));
        entry.type = static_cast<std::uint32_t>(read(header + 4, 4));
        if (is64Bit_) {
            entry.section.address = read(header + 16, 8);
            entry.section.offset = read(header + 24, 8);
            entry.section.size = read(header + 32, 8);
            entry.link = static_cast<std::uint32_t>(read(header + 40, 4));
        } else {
            entry.section.address = read(header + 12, 4);
            entry.section.offset = read(header + 16, 4);
            entry.section.size = read(header + 20, 4);
            entry.link = static_cast<std::uint32_t>(read(header + 24, 4));
        }
        raw.push_back(entry);
    }
    if (shstrndx < raw.size()) {
        const std::uint64_t names = raw[shstrndx].section.offset;
        for (Raw& entry : raw) {
            entry.section.name = reinterpret_cast<const char*>(&bytes_[names + entry.nameOffset]);
            sections_.push_back(entry.section);
        }
        for (const Raw& entry : raw) {
            if ((entry.type == SHT_SYMTAB || entry.type == SHT_DYNSYM) && entry.link < raw.size()) {
                readSymbols(entry.section, raw[entry.link].section);
            }
        }
    }
}

std::uint64_t ElfFile::read(std::uint64_t offset, unsigned size) const {
    if (offset + size > bytes_.size()) {
        throw std::runtime_error("truncated ELF file: " + path_);
    }
    std::uint64_t value = 0;
    for (unsigned index = 0; index < size; ++index) {
        const std::uint8_t byte = bytes_[offset + (bigEndian_ ? index : size - 1 - index)];
        value = value << 8 | byte;
    }
    return value;
}

void ElfFile::readSymbols(const ElfSection& table, const ElfSection& strings) {
    const unsigned entrySize = is64Bit_ ? 24 : 16;
    for (std::uint64_t entry = table.offset; entry + entrySize <= table.offset + table.size;
         entry += entrySize) {
        const std::uint32_t name = static_cast<std::uint32_t>(read(entry, 4));
        const unsigned info = static_cast<unsigned>(read(entry + (is64Bit_ ? 4 : 12), 1));
        const unsigned sectionIndex = static_cast<unsigned>(read(entry + (is64Bit_ ? 6 : 14), 2));
        const std::uint64_t value = is64Bit_ ? read(entry + 8, 8) : read(entry + 4, 4);
        const std::uint64_t size = is64Bit_ ? read(entry + 16, 8) : read(entry + 8, 4);
        if (sectionIndex == SHN_UNDEF || name == 0) {
            continue;
        }
        symbols_.push_back({reinterpret_cast<const char*>(&bytes_[strings.offset + name]), value,
                            size, ELF64_ST_TYPE(info) == STT_FUNC});
    }
}

std::optional<ElfSection> ElfFile::section(const std::string& name) const {
    for (const ElfSection& section : sections_) {
        if (section.name == name) {
            return section;
        }
    }
    return std::nullopt;
}

std::optional<ElfSymbol> ElfFile::functionContaining(std::uint64_t address) const {
    for (const ElfSymbol& symbol : symbols_) {
        if (symbol.isFunction && symbol.address <= address &&
            address < symbol.address + symbol.size) {
            return symbol;
        }
    }
    return std::nullopt;
}
