#include "MachOOracle.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace oracle {
namespace {

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("missing oracle output " + path);
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::uint64_t hex(const std::string& text) {
    return std::stoull(text, nullptr, 16);
}

// "  vmaddr 0x0000000000001000" -> ("vmaddr", "0x...")
bool field(const std::string& line, const std::string& key, std::string* value) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first != key) {
        return false;
    }
    return static_cast<bool>(words >> *value);
}

} // namespace

const Segment* Headers::segment(const std::string& name) const {
    for (const auto& candidate : segments) {
        if (candidate.name == name) {
            return &candidate;
        }
    }
    return nullptr;
}

const Section* Headers::section(const std::string& segmentName, const std::string& name) const {
    for (const auto& candidate : sections) {
        if (candidate.segment == segmentName && candidate.name == name) {
            return &candidate;
        }
    }
    return nullptr;
}

std::optional<UnwindEntry> UnwindInfo::covering(std::uint64_t offset) const {
    std::optional<UnwindEntry> found;
    for (const auto& entry : entries) {
        if (entry.functionOffset <= offset) {
            found = entry;
        }
    }
    return found;
}

std::string fixturePath(const std::string& name) {
    return std::string(KOCRASH_IMAGE_FIXTURE_DIR) + "/" + name;
}

std::vector<Symbol> readSymbols(const std::string& image) {
    static const std::regex line(
        R"(^([0-9a-f]+) \(([^,]+),([^)]+)\) (external|non-external)( \[Thumb\])? (.+)$)");
    std::vector<Symbol> symbols;
    for (const auto& text : linesOf(image + ".nm.txt")) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            symbols.push_back({hex(match[1]), match[2], match[3], match[4] == "external",
                               match[5].matched, match[6]});
        }
    }
    return symbols;
}

Headers readHeaders(const std::string& image) {
    Headers headers;
    const auto lines = linesOf(image + ".headers.txt");
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string& line = lines[index];
        std::string value;
        if (line.find("magic cputype") != std::string::npos && index + 1 < lines.size()) {
            std::istringstream words(lines[index + 1]);
            std::string subtype, caps;
            words >> headers.magic >> headers.cpuType >> subtype >> caps >> headers.fileType;
        } else if (field(line, "segname", &value) && index >= 3 &&
                   lines[index - 2].find("cmd LC_SEGMENT") != std::string::npos) {
            Segment segment{value, 0, 0};
            field(lines[index + 1], "vmaddr", &value);
            segment.vmaddr = hex(value);
            field(lines[index + 2], "vmsize", &value);
            segment.vmsize = hex(value);
            headers.segments.push_back(segment);
        } else if (field(line, "sectname", &value) && index + 3 < lines.size() &&
                   lines[index - 1].find("Section") != std::string::npos) {
            Section section{"", value, 0, 0};
            field(lines[index + 1], "segname", &section.segment);
            field(lines[index + 2], "addr", &value);
            section.address = hex(value);
            field(lines[index + 3], "size", &value);
            section.size = hex(value);
            headers.sections.push_back(section);
        } else if (field(line, "uuid", &value)) {
            headers.uuid = value;
        }
    }
    return headers;
}

UnwindInfo readUnwindInfo(const std::string& image) {
    static const std::regex entry(
        R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), encoding(\[\d+\])?=0x([0-9a-f]+)$)");
    static const std::regex index(
        R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), 2nd level page offset=0x([0-9a-f]+),.*$)");
    UnwindInfo info;
    bool inPage = false;
    bool pageKindSeen = false;
    for (const auto& text : linesOf(image + ".unwind.txt")) {
        std::smatch match;
        if (text.find("Second level index[") != std::string::npos) {
            inPage = true;
            pageKindSeen = false;
        } else if (!inPage && std::regex_match(text, match, index)) {
            info.endOffset = hex(match[1]);
        } else if (inPage && std::regex_match(text, match, entry)) {
            info.entries.push_back({hex(match[1]), static_cast<std::uint32_t>(hex(match[3]))});
            if (!pageKindSeen) {
                (match[2].matched ? info.compressedPages : info.regularPages) += 1;
                pageKindSeen = true;
            }
        }
    }
    return info;
}

std::map<std::string, std::vector<std::string>> readDisassembly(const std::string& image) {
    static const std::regex label(R"(^(\S+):$)");
    static const std::regex instruction(R"(^\s+[0-9a-f]+:\t[0-9a-f ]+\t(.*)$)");
    std::map<std::string, std::vector<std::string>> functions;
    std::string current;
    for (const auto& text : linesOf(image + ".disassembly.txt")) {
        std::smatch match;
        if (std::regex_match(text, match, label)) {
            current = match[1];
        } else if (!current.empty() && std::regex_match(text, match, instruction)) {
            functions[current].push_back(match[1]);
        }
    }
    return functions;
}

std::vector<std::string> readMethodImplementations(const std::string& image) {
    static const std::regex imp(R"(^\s+imp (.+)$)");
    std::vector<std::string> names;
    for (const auto& text : linesOf(image + ".objc.txt")) {
        std::smatch match;
        if (std::regex_match(text, match, imp)) {
            names.push_back(match[1]);
        }
    }
    return names;
}

std::vector<Function> readFunctions(const std::string& image) {
    const Headers headers = readHeaders(image);
    const Section* text = headers.section("__TEXT", "__text");
    std::vector<Function> functions;
    if (text == nullptr) {
        return functions;
    }
    for (const auto& symbol : readSymbols(image)) {
        if (symbol.segment == "__TEXT" && symbol.section == "__text") {
            if (!functions.empty() && functions.back().symbol.address == symbol.address) {
                continue; // an alias names the same code
            }
            functions.push_back({symbol, 0});
        }
    }
    for (std::size_t index = 0; index < functions.size(); ++index) {
        functions[index].end = index + 1 < functions.size() ? functions[index + 1].symbol.address
                                                            : text->address + text->size;
    }
    return functions;
}

} // namespace oracle
