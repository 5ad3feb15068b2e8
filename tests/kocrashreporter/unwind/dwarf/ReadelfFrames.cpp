#include "ReadelfFrames.h"

#include <array>
#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    std::array<char, 65536> buffer;
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
        output.append(buffer.data(), got);
    }
    return output;
}

// The lines of the dump of one section, which starts at "Contents of the <name> section".
std::vector<std::string> sectionLines(const std::string& dump, const std::string& sectionName) {
    std::vector<std::string> lines;
    std::istringstream stream(dump);
    std::string line;
    bool inside = false;
    while (std::getline(stream, line)) {
        if (line.rfind("Contents of the ", 0) == 0) {
            inside = line.rfind("Contents of the " + sectionName + " section", 0) == 0;
            continue;
        }
        if (inside) {
            lines.push_back(line);
        }
    }
    if (lines.empty()) {
        throw std::runtime_error("readelf shows no " + sectionName);
    }
    return lines;
}

std::uint64_t hex(const std::string& text) {
    return std::stoull(text, nullptr, 16);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> result;
    std::string word;
    while (stream >> word) {
        result.push_back(word);
    }
    return result;
}

// A register rule prints as "r9 (x9)": the number and, in parentheses, the name.
std::vector<std::string> ruleWords(const std::string& text) {
    std::vector<std::string> merged;
    for (const std::string& word : words(text)) {
        if (!merged.empty() && word.front() == '(') {
            merged.back() += " " + word;
        } else {
            merged.push_back(word);
        }
    }
    return merged;
}

const std::set<std::string> kSupported = {
    "DW_CFA_nop",
    "DW_CFA_set_loc",
    "DW_CFA_advance_loc",
    "DW_CFA_advance_loc1",
    "DW_CFA_advance_loc2",
    "DW_CFA_advance_loc4",
    "DW_CFA_offset",
    "DW_CFA_offset_extended",
    "DW_CFA_restore",
    "DW_CFA_restore_extended",
    "DW_CFA_undefined",
    "DW_CFA_same_value",
    "DW_CFA_register",
    "DW_CFA_remember_state",
    "DW_CFA_restore_state",
    "DW_CFA_def_cfa",
    "DW_CFA_def_cfa_register",
    "DW_CFA_def_cfa_offset",
    "DW_CFA_def_cfa_expression",
    "DW_CFA_expression",
    "DW_CFA_offset_extended_sf",
    "DW_CFA_def_cfa_sf",
    "DW_CFA_def_cfa_offset_sf",
    "DW_CFA_val_offset",
    "DW_CFA_val_offset_sf",
    "DW_CFA_AARCH64_negate_ra_state",
    "DW_CFA_val_expression",
};

const std::regex kEntry(R"(^([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) (CIE|FDE)(.*)$)");
const std::regex kFdeTail(R"(cie=([0-9a-f]+) pc=([0-9a-f]+)\.\.([0-9a-f]+))");
const std::regex kCieTail(R"re("([^"]*)" cf=(\d+) df=(-?\d+) ra=(\d+))re");
const std::regex kRow(R"(^([0-9a-f]+) +(\S+)(.*)$)");
const std::regex kOperation(R"(^  (DW_CFA_[A-Za-z0-9_?]+)(.*)$)");
const std::regex kNewLocation(R"((?:to|:) ([0-9a-f]+)$)");

void parseInterpreted(const std::vector<std::string>& lines, ReadelfFrames& frames) {
    std::vector<std::string> columns;
    std::vector<ReadelfRow>* rows = nullptr;
    std::smatch match;
    for (const std::string& line : lines) {
        if (line.find("ZERO terminator") != std::string::npos) {
            rows = nullptr;
        } else if (std::regex_match(line, match, kEntry)) {
            const std::uint64_t offset = hex(match[1]);
            const std::string tail = match[5];
            std::smatch fields;
            if (match[4] == "CIE" && std::regex_search(tail, fields, kCieTail)) {
                ReadelfCie& cie = frames.cies[offset];
                cie.offset = offset;
                cie.augmentation = fields[1];
                cie.codeAlignment = std::stoull(fields[2]);
                cie.dataAlignment = std::stoll(fields[3]);
                cie.returnAddressRegister = std::stoull(fields[4]);
                rows = &cie.rows;
            } else if (match[4] == "FDE" && std::regex_search(tail, fields, kFdeTail)) {
                frames.fdes.push_back(
                    {offset, hex(fields[1]), hex(fields[2]), hex(fields[3]), {}, std::nullopt});
                rows = &frames.fdes.back().rows;
            } else {
                throw std::runtime_error("unexpected entry line: " + line);
            }
            columns.clear();
        } else if (line.rfind("   LOC", 0) == 0) {
            std::vector<std::string> header = words(line);
            columns.assign(header.begin() + 2, header.end());
        } else if (rows != nullptr && std::regex_match(line, match, kRow)) {
            ReadelfRow row;
            row.location = hex(match[1]);
            row.cfa = match[2];
            std::vector<std::string> rules = ruleWords(match[3]);
            if (rules.size() != columns.size()) {
                throw std::runtime_error("row does not match its header: " + line);
            }
            for (std::size_t index = 0; index < rules.size(); ++index) {
                row.columns[columns[index]] = rules[index];
            }
            rows->push_back(row);
        }
    }
}

// Versions and refused instructions, with the location each refused one is reached at.
void parseRaw(const std::vector<std::string>& lines, ReadelfFrames& frames) {
    std::map<std::uint64_t, ReadelfFde*> fdes;
    for (ReadelfFde& fde : frames.fdes) {
        fdes[fde.offset] = &fde;
    }
    ReadelfCie* cie = nullptr;
    ReadelfFde* fde = nullptr;
    std::uint64_t location = 0;
    std::smatch match;
    for (const std::string& line : lines) {
        if (std::regex_match(line, match, kEntry)) {
            const std::uint64_t offset = hex(match[1]);
            cie = match[4] == "CIE" ? &frames.cies.at(offset) : nullptr;
            fde = match[4] == "FDE" ? fdes.at(offset) : nullptr;
            location = fde != nullptr ? fde->pcBegin : 0;
        } else if (cie != nullptr && line.rfind("  Version:", 0) == 0) {
            cie->version = std::stoi(line.substr(line.find(':') + 1));
        } else if (std::regex_match(line, match, kOperation)) {
            const std::string name = match[1];
            const std::string operands = match[2];
            std::smatch target;
            if ((name.rfind("DW_CFA_advance_loc", 0) == 0 || name == "DW_CFA_set_loc") &&
                std::regex_search(operands, target, kNewLocation)) {
                location = hex(target[1]);
            }
            if (kSupported.count(name) == 0) {
                if (cie != nullptr) {
                    cie->refused = true;
                } else if (fde != nullptr && !fde->refusedFrom) {
                    fde->refusedFrom = location;
                }
            }
        }
    }
}

} // namespace

ReadelfFrames readelfFrames(const std::string& path, const std::string& sectionName) {
    ReadelfFrames frames;
    parseInterpreted(
        sectionLines(run("readelf --debug-dump=frames-interp '" + path + "' 2>/dev/null"),
                     sectionName),
        frames);
    parseRaw(
        sectionLines(run("readelf --debug-dump=frames '" + path + "' 2>/dev/null"), sectionName),
        frames);
    return frames;
}
