#include "FrameOracle.h"

#include "ReadelfFrames.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

constexpr std::size_t kReportedDifferences = 20;
// Every so many FDEs the linear search is checked too (each search walks the whole section).
constexpr std::size_t kSearchEvery = 41;

class Differences {
public:
    explicit Differences(std::string path) : path_(std::move(path)) {}
    ~Differences() {
        if (count_ > kReportedDifferences) {
            ADD_FAILURE() << path_ << ": " << count_ - kReportedDifferences << " more differences";
        }
    }
    void add(const std::string& what) {
        if (++count_ <= kReportedDifferences) {
            ADD_FAILURE() << path_ << ": " << what;
        }
    }

private:
    std::string path_;
    std::size_t count_ = 0;
};

std::string hexText(std::uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// The row readelf prints for a pc range: the FDE's own rows, or the CIE's when the FDE has
// no instructions of its own.
struct ExpectedRow {
    std::uint64_t first;
    std::uint64_t last;
    const ReadelfRow* row;
};

std::vector<ExpectedRow> expectedRows(const ReadelfFde& fde, const ReadelfCie& cie) {
    const std::vector<ReadelfRow>& rows = fde.rows.empty() ? cie.rows : fde.rows;
    std::vector<ExpectedRow> result;
    for (std::size_t index = 0; index < rows.size(); ++index) {
        std::uint64_t start = fde.rows.empty() ? fde.pcBegin : rows[index].location;
        std::uint64_t end = index + 1 < rows.size() ? rows[index + 1].location : fde.pcEnd;
        if (fde.rows.empty()) {
            // The CIE's rows all hold at the FDE's start; the last one is the row.
            if (index + 1 < rows.size()) {
                continue;
            }
            end = fde.pcEnd;
        }
        if (start < fde.pcBegin || end > fde.pcEnd || start >= end) {
            continue;
        }
        result.push_back({start, end - 1, &rows[index]});
    }
    return result;
}

template <typename word, typename signed_word> class SectionChecker {
public:
    SectionChecker(const FrameSection& section, const ReadelfFrames& frames,
                   const kocrash_async_mobject* mobj, Differences& differences)
        : section_(section), frames_(frames), mobj_(mobj), differences_(differences) {}

    FrameOracleCounts run() {
        FrameOracleCounts counts;
        const bool debugFrame = section_.sectionName == ".debug_frame";
        dwarf_frame_reader reader;
        reader.init(mobj_, section_.byteorder, sizeof(word) == 8, debugFrame);
        for (std::size_t index = 0; index < frames_.fdes.size(); ++index) {
            const ReadelfFde& expected = frames_.fdes[index];
            ++counts.fdes;
            kocrash_async_dwarf_fde_info fde;
            kocrash_error_t error = kocrash_async_dwarf_fde_info_init<word>(
                &fde, mobj_, section_.byteorder, section_.address + expected.offset, debugFrame);
            if (error != KOCRASH_ESUCCESS) {
                differences_.add("FDE at " + hexText(expected.offset) + " fails with " +
                                 std::to_string(error));
                continue;
            }
            checkFde(fde, expected);
            const ReadelfCie& expectedCie = frames_.cies.at(expected.cieOffset);
            kocrash_async_dwarf_cie_info cie;
            const gnu_ehptr_reader<word> pointers(section_.byteorder);
            error =
                kocrash_async_dwarf_cie_info_init<word>(&cie, mobj_, section_.byteorder, &pointers,
                                                        section_.address + fde.cie_entry_offset);
            if (error != KOCRASH_ESUCCESS) {
                differences_.add("CIE at " + hexText(fde.cie_entry_offset) + " fails with " +
                                 std::to_string(error));
                continue;
            }
            checkCie(cie, expectedCie);
            if (expected.refusedFrom || expectedCie.refused) {
                ++counts.refusedFdes;
            }
            for (const ExpectedRow& row : expectedRows(expected, expectedCie)) {
                checkRowAt(row.first, *row.row, fde, cie, expected, expectedCie);
                checkRowAt(row.last, *row.row, fde, cie, expected, expectedCie);
                counts.rowsChecked += 2;
            }
            if (index % kSearchEvery == 0 || index + 1 == frames_.fdes.size()) {
                checkSearch(reader, expected);
                ++counts.searches;
            }
        }
        return counts;
    }

private:
    std::uint64_t live(std::uint64_t address) const { return address + section_.addressDelta; }

    void checkFde(const kocrash_async_dwarf_fde_info& fde, const ReadelfFde& expected) {
        if (fde.start_pc != static_cast<word>(live(expected.pcBegin)) ||
            fde.end_pc - fde.start_pc != expected.pcEnd - expected.pcBegin ||
            fde.cie_entry_offset != expected.cieOffset) {
            differences_.add("FDE at " + hexText(expected.offset) + ": range " +
                             hexText(fde.start_pc) + ".." + hexText(fde.end_pc) + ", CIE " +
                             hexText(fde.cie_entry_offset));
        }
    }

    void checkCie(const kocrash_async_dwarf_cie_info& cie, const ReadelfCie& expected) {
        const std::string& augmentation = expected.augmentation;
        auto has = [&](char letter) {
            return !augmentation.empty() && augmentation[0] == 'z' &&
                   augmentation.find(letter) != std::string::npos;
        };
        if (cie.version != expected.version ||
            cie.code_alignment_factor != expected.codeAlignment ||
            cie.data_alignment_factor != expected.dataAlignment ||
            cie.return_address_register != expected.returnAddressRegister ||
            cie.has_augmentation_data != (!augmentation.empty() && augmentation[0] == 'z') ||
            cie.augmentation.has_pointer_encoding != has('R') ||
            cie.augmentation.has_lsda_encoding != has('L') ||
            cie.augmentation.has_personality_address != has('P') ||
            cie.augmentation.signal_frame != has('S')) {
            differences_.add("CIE at " + hexText(expected.offset) + " differs");
        }
    }

    void checkSearch(const dwarf_frame_reader& reader, const ReadelfFde& target) {
        // The first FDE in section order that covers the pc is the one the search finds.
        const ReadelfFde* expected = nullptr;
        for (const ReadelfFde& fde : frames_.fdes) {
            if (fde.pcBegin <= target.pcBegin && target.pcBegin < fde.pcEnd) {
                expected = &fde;
                break;
            }
        }
        kocrash_async_dwarf_fde_info found;
        kocrash_error_t error = reader.find_fde(0, static_cast<word>(live(target.pcBegin)), &found);
        if (expected == nullptr) {
            if (error != KOCRASH_ENOTFOUND) {
                differences_.add("search for empty FDE " + hexText(target.offset) + " returns " +
                                 std::to_string(error));
            }
            return;
        }
        const std::uint64_t headerSize = found.fde_entry_offset - expected->offset;
        if (error != KOCRASH_ESUCCESS || (headerSize != 4 && headerSize != 12)) {
            differences_.add("search for " + hexText(target.pcBegin) + " finds " +
                             hexText(found.fde_entry_offset) + " (code " + std::to_string(error) +
                             "), readelf " + hexText(expected->offset));
        }
    }

    void checkRowAt(std::uint64_t pc, const ReadelfRow& expected,
                    const kocrash_async_dwarf_fde_info& fde,
                    const kocrash_async_dwarf_cie_info& cie, const ReadelfFde& readelfFde,
                    const ReadelfCie& readelfCie) {
        dwarf_cfa_state<word, signed_word> state;
        const gnu_ehptr_reader<word> pointers(section_.byteorder);
        const word livePc = static_cast<word>(live(pc));
        kocrash_error_t error = state.eval_program(
            mobj_, livePc, static_cast<word>(fde.start_pc), &cie, &pointers, section_.byteorder,
            section_.address, static_cast<kocrash_vm_off_t>(cie.initial_instructions_offset),
            cie.initial_instructions_length);
        if (error == KOCRASH_ESUCCESS) {
            error = state.eval_program(mobj_, livePc, static_cast<word>(fde.start_pc), &cie,
                                       &pointers, section_.byteorder, section_.address,
                                       static_cast<kocrash_vm_off_t>(fde.instructions_offset),
                                       fde.instructions_length);
        }
        const std::string where = "FDE " + hexText(readelfFde.offset) + " at " + hexText(pc);
        const bool refused =
            readelfCie.refused || (readelfFde.refusedFrom && pc >= *readelfFde.refusedFrom);
        if (refused) {
            if (error != KOCRASH_ENOTSUP) {
                differences_.add(where + ": refused instruction gives " + std::to_string(error));
            }
            return;
        }
        if (error != KOCRASH_ESUCCESS) {
            differences_.add(where + ": program fails with " + std::to_string(error));
            return;
        }
        checkCfa(state.get_cfa_rule(), expected.cfa, where);
        checkRegisters(state, expected, cie, where);
    }

    void checkCfa(const dwarf_cfa_rule<word, signed_word>& rule, const std::string& expected,
                  const std::string& where) {
        using rule_type = dwarf_cfa_rule<word, signed_word>;
        if (expected == "exp") {
            if (rule.type() != rule_type::CFA_RULE_TYPE_EXPRESSION) {
                differences_.add(where + ": CFA is not an expression");
            }
            return;
        }
        const std::size_t sign = expected.find_first_of("+-");
        const std::int64_t regnum = dwarfRegisterNamed(section_.machine, expected.substr(0, sign));
        const std::int32_t offset = std::stoi(expected.substr(sign));
        if (rule.type() != rule_type::CFA_RULE_TYPE_REGISTER &&
            rule.type() != rule_type::CFA_RULE_TYPE_REGISTER_SIGNED) {
            differences_.add(where + ": CFA " + expected + " is not a register rule");
            return;
        }
        if (rule.register_number() != regnum ||
            static_cast<std::int32_t>(rule.register_offset()) != offset) {
            differences_.add(where + ": CFA r" + std::to_string(rule.register_number()) + "+" +
                             std::to_string(static_cast<std::int32_t>(rule.register_offset())) +
                             ", readelf " + expected);
        }
    }

    void checkRegisters(const dwarf_cfa_state<word, signed_word>& state, const ReadelfRow& expected,
                        const kocrash_async_dwarf_cie_info& cie, const std::string& where) {
        std::set<std::uint32_t> described;
        for (const auto& [column, text] : expected.columns) {
            const std::int64_t regnum = column == "ra"
                                            ? static_cast<std::int64_t>(cie.return_address_register)
                                            : dwarfRegisterNamed(section_.machine, column);
            if (regnum < 0) {
                differences_.add(where + ": unknown register " + column);
                continue;
            }
            kocrash_dwarf_cfa_reg_rule_t rule;
            word value;
            const bool present =
                state.get_register_rule(static_cast<std::uint32_t>(regnum), &rule, &value);
            if (text == "u") {
                if (present) {
                    differences_.add(where + ": " + column + " has a rule, readelf u");
                }
                continue;
            }
            described.insert(static_cast<std::uint32_t>(regnum));
            if (!present || !matches(rule, value, text)) {
                differences_.add(where + ": " + column + " is " +
                                 (present ? std::to_string(rule) + "/" +
                                                std::to_string(static_cast<std::int64_t>(
                                                    static_cast<signed_word>(value)))
                                          : std::string("undefined")) +
                                 ", readelf " + text);
            }
        }
        dwarf_cfa_state_iterator<word, signed_word> rules(&state);
        std::uint32_t regnum;
        kocrash_dwarf_cfa_reg_rule_t rule;
        word value;
        while (rules.next(&regnum, &rule, &value)) {
            if (described.count(regnum) == 0) {
                differences_.add(where + ": r" + std::to_string(regnum) +
                                 " has a rule readelf does not show");
            }
        }
    }

    bool matches(kocrash_dwarf_cfa_reg_rule_t rule, word value, const std::string& text) const {
        const auto offset = static_cast<std::int32_t>(static_cast<signed_word>(value));
        if (text == "s") {
            return rule == DWARF_RULE_SAME_VALUE;
        }
        if (text == "exp") {
            return rule == DWARF_RULE_EXPRESSION;
        }
        if (text == "vexp") {
            return rule == DWARF_RULE_VAL_EXPRESSION;
        }
        if (text[0] == 'c' && (text[1] == '+' || text[1] == '-')) {
            return rule == DWARF_RULE_OFFSET && offset == std::stoi(text.substr(1));
        }
        if (text[0] == 'v' && (text[1] == '+' || text[1] == '-')) {
            return rule == DWARF_RULE_VAL_OFFSET && offset == std::stoi(text.substr(1));
        }
        // "r<number> (<name>)", or just the name.
        const std::string source = text.substr(0, text.find(' '));
        const std::int64_t regnum = text.find(' ') != std::string::npos
                                        ? dwarfRegisterNamed(EM_NONE, source)
                                        : dwarfRegisterNamed(section_.machine, source);
        return rule == DWARF_RULE_REGISTER && static_cast<std::int64_t>(value) == regnum;
    }

    const FrameSection& section_;
    const ReadelfFrames& frames_;
    const kocrash_async_mobject* mobj_;
    Differences& differences_;
};

} // namespace

std::int64_t dwarfRegisterNamed(std::uint16_t machine, const std::string& name) {
    static const std::map<std::string, std::int64_t> x86_64 = {{"rax", 0}, {"rdx", 1}, {"rcx", 2},
                                                               {"rbx", 3}, {"rsi", 4}, {"rdi", 5},
                                                               {"rbp", 6}, {"rsp", 7}, {"rip", 16}};
    static const std::map<std::string, std::int64_t> i386 = {{"eax", 0}, {"ecx", 1}, {"edx", 2},
                                                             {"ebx", 3}, {"esp", 4}, {"ebp", 5},
                                                             {"esi", 6}, {"edi", 7}, {"eip", 8}};
    auto numbered = [&](const std::string& prefix, std::int64_t base) -> std::int64_t {
        if (name.size() > prefix.size() && name.rfind(prefix, 0) == 0 &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            return base + std::stoll(name.substr(prefix.size()));
        }
        return -1;
    };
    if (machine == EM_X86_64 && x86_64.count(name) != 0) {
        return x86_64.at(name);
    }
    if (machine == EM_386 && i386.count(name) != 0) {
        return i386.at(name);
    }
    if (machine == EM_AARCH64) {
        if (name == "sp") {
            return 31;
        }
        if (std::int64_t regnum = numbered("x", 0); regnum >= 0) {
            return regnum;
        }
        return numbered("v", 64);
    }
    // Machines without names of their own, and r8 to r15 of x86-64, print as r<number>.
    return numbered("r", 0);
}

FrameOracleCounts checkFrameSectionAgainstReadelf(const FrameSection& section) {
    const ReadelfFrames frames = readelfFrames(section.path, section.sectionName);
    kocrash_async_mobject mobj;
    kocrash_error_t error =
        kocrash_async_mobject_init(&mobj, mach_task_self(), section.address, section.size, true);
    if (error != KOCRASH_ESUCCESS) {
        ADD_FAILURE() << section.path << ": cannot map " << section.sectionName;
        return {};
    }
    Differences differences(section.path + " " + section.sectionName);
    FrameOracleCounts counts =
        section.is64Bit
            ? SectionChecker<std::uint64_t, std::int64_t>(section, frames, &mobj, differences).run()
            : SectionChecker<std::uint32_t, std::int32_t>(section, frames, &mobj, differences)
                  .run();
    kocrash_async_mobject_free(&mobj);
    return counts;
}
