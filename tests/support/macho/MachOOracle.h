// Readers for what llvm-objdump and llvm-nm print about the fixtures, written at build time
// next to each image: the tests compare the crash reporter's readers with these.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oracle {

struct Symbol {
    std::uint64_t address = 0;
    std::string segment;
    std::string section;
    bool external = false;
    bool thumb = false;
    std::string name;
};

struct Segment {
    std::string name;
    std::uint64_t vmaddr = 0;
    std::uint64_t vmsize = 0;
};

struct Section {
    std::string segment;
    std::string name;
    std::uint64_t address = 0;
    std::uint64_t size = 0;
};

struct Headers {
    std::string magic;
    std::string cpuType;
    std::string fileType;
    std::vector<Segment> segments;
    std::vector<Section> sections;
    // Upper-case hexadecimal with dashes, as printed.
    std::string uuid;

    const Segment* segment(const std::string& name) const;
    const Section* section(const std::string& segment, const std::string& name) const;
};

struct UnwindEntry {
    std::uint64_t functionOffset = 0;
    std::uint32_t encoding = 0;
};

struct UnwindInfo {
    std::vector<UnwindEntry> entries;
    int regularPages = 0;
    int compressedPages = 0;
    // Offset of the first-level end marker: the end of the covered range.
    std::uint64_t endOffset = 0;

    // The encoding of the last entry at or below offset, as the lookup rule selects it.
    std::optional<UnwindEntry> covering(std::uint64_t offset) const;
};

std::string fixturePath(const std::string& name);
std::vector<Symbol> readSymbols(const std::string& image);
Headers readHeaders(const std::string& image);
UnwindInfo readUnwindInfo(const std::string& image);
// Instruction texts (mnemonic and operands) of each function, in order.
std::map<std::string, std::vector<std::string>> readDisassembly(const std::string& image);
// Every "imp" line of the metadata listing: "-[Root value]", "+[Root(Extras) shared]", ...
std::vector<std::string> readMethodImplementations(const std::string& image);

// The functions of an image: symbols in __TEXT,__text, each with the end of its code (the next
// function's start or the end of the section).
struct Function {
    Symbol symbol;
    std::uint64_t end = 0;
};
std::vector<Function> readFunctions(const std::string& image);

} // namespace oracle
