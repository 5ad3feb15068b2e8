// The compact unwind reader against llvm-objdump --unwind-info on linked images (regular and
// compressed pages), entries decoded against the registers the prologues save, synthetic
// sections for what the linker rarely writes, and entries applied to real stack memory.
#include "unwind/KOCrashAsyncCompactUnwind.h"
#include "FixtureImages.h"
#include "MachOOracle.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <regex>
#include <set>
#include <sys/mman.h>

using platform::mach::mach_task_self;

namespace {

class UnwindSection {
public:
    explicit UnwindSection(const kocrash_async_macho* image) {
        error_ = kocrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &mobj_);
        if (error_ == KOCRASH_ESUCCESS) {
            error_ = kocrash_async_cfe_reader_init(&reader_, &mobj_,
                                                   kocrash_async_macho_cpu_type(image));
            mapped_ = true;
        }
    }
    ~UnwindSection() {
        if (mapped_) {
            kocrash_async_mobject_free(&mobj_);
        }
    }
    kocrash_error_t error() const { return error_; }
    const kocrash_async_cfe_reader* reader() const { return &reader_; }

private:
    kocrash_async_mobject mobj_;
    kocrash_async_cfe_reader reader_;
    kocrash_error_t error_;
    bool mapped_ = false;
};

class CompactUnwindAgainstObjdump : public testing::TestWithParam<std::string> {};

TEST_P(CompactUnwindAgainstObjdump, EveryFunctionFindsTheListedEncoding) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    UnwindSection section(fixture.image());
    ASSERT_EQ(section.error(), KOCRASH_ESUCCESS);
    const oracle::UnwindInfo listed = oracle::readUnwindInfo(fixture.path());
    const std::uint64_t text = fixture.image()->text_address;
    for (const auto& function : oracle::readFunctions(fixture.path())) {
        SCOPED_TRACE(function.symbol.name);
        const std::uint64_t start = function.symbol.address - text;
        const auto expected = listed.covering(start);
        ASSERT_TRUE(expected.has_value());
        for (std::uint64_t pc : {start, start + 1, function.end - text - 1}) {
            std::uint64_t offset = 0;
            std::uint32_t encoding = 0;
            ASSERT_EQ(kocrash_async_cfe_reader_find_pc(section.reader(), pc, &offset, &encoding),
                      KOCRASH_ESUCCESS);
            EXPECT_EQ(offset, expected->functionOffset);
            EXPECT_EQ(encoding, expected->encoding);
        }
    }
}

TEST_P(CompactUnwindAgainstObjdump, EveryListedEntryIsFoundAtItsOffsetAndNotBelowTheFirst) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    UnwindSection section(fixture.image());
    ASSERT_EQ(section.error(), KOCRASH_ESUCCESS);
    const oracle::UnwindInfo listed = oracle::readUnwindInfo(fixture.path());
    ASSERT_FALSE(listed.entries.empty());
    for (const auto& entry : listed.entries) {
        std::uint64_t offset = 0;
        std::uint32_t encoding = 0;
        ASSERT_EQ(kocrash_async_cfe_reader_find_pc(section.reader(), entry.functionOffset, &offset,
                                                   &encoding),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(offset, entry.functionOffset);
        EXPECT_EQ(encoding, entry.encoding) << std::hex << entry.functionOffset;
    }
    std::uint64_t offset;
    std::uint32_t encoding;
    EXPECT_EQ(kocrash_async_cfe_reader_find_pc(
                  section.reader(), listed.entries.front().functionOffset - 1, &offset, &encoding),
              KOCRASH_ENOTFOUND);
    // Beyond the last function the last entry still answers.
    ASSERT_EQ(kocrash_async_cfe_reader_find_pc(section.reader(), listed.endOffset + 0x1000, &offset,
                                               &encoding),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(encoding, listed.entries.back().encoding);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CompactUnwindAgainstObjdump,
                         testing::Values("functions_arm64.dylib", "functions_x86_64.dylib",
                                         "entry_arm64", "entry_x86_64", "many_arm64.dylib",
                                         "many_x86_64.dylib", "prologues_arm64.dylib",
                                         "metadata_arm64.dylib"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(CompactUnwindFixtures, TheLargeImagesHoldRegularAndSeveralCompressedPages) {
    const auto arm64 = oracle::readUnwindInfo(oracle::fixturePath("many_arm64.dylib"));
    EXPECT_GE(arm64.regularPages, 1);
    EXPECT_GE(arm64.compressedPages, 2);
    const auto x86 = oracle::readUnwindInfo(oracle::fixturePath("many_x86_64.dylib"));
    EXPECT_GE(x86.compressedPages, 2);
}

TEST(CompactUnwindFixtures, AnImageWithoutUnwindInfoHasNoSection) {
    MappedFixture fixture("functions_armv7.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    EXPECT_EQ(UnwindSection(fixture.image()).error(), KOCRASH_ENOTFOUND);
}

// The callee-saved registers a prologue stores, from the disassembly, as register numbers of
// the decoded entries; and whether it sets up a frame pointer.
struct Prologue {
    bool frame = false;
    std::set<std::uint32_t> saved;
};

Prologue arm64Prologue(const std::vector<std::string>& instructions) {
    static const std::regex pair(R"(^stp\s+x(\d+), x(\d+), \[sp.*)");
    static const std::regex frame(R"(^(add|mov)\s+x29, sp.*)");
    Prologue prologue;
    for (const auto& instruction : instructions) {
        std::smatch match;
        if (std::regex_match(instruction, match, pair)) {
            for (int group : {1, 2}) {
                int number = std::stoi(match[group]);
                if (number >= 19 && number <= 28) {
                    prologue.saved.insert(KOCRASH_ARM64_X0 + number);
                }
            }
        } else if (std::regex_match(instruction, frame)) {
            prologue.frame = true;
            break;
        } else if (!instruction.starts_with("sub\tsp")) {
            break;
        }
    }
    return prologue;
}

Prologue x86_64Prologue(const std::vector<std::string>& instructions) {
    static const std::map<std::string, std::uint32_t> numbers{
        {"%rbx", 4}, {"%r12", 13}, {"%r13", 14}, {"%r14", 15}, {"%r15", 16}};
    Prologue prologue;
    for (const auto& instruction : instructions) {
        if (instruction == "pushq\t%rbp" || instruction == "movq\t%rsp, %rbp") {
            prologue.frame = true;
            continue;
        }
        if (instruction.starts_with("pushq\t")) {
            auto found = numbers.find(instruction.substr(6));
            if (found != numbers.end()) {
                prologue.saved.insert(found->second);
                continue;
            }
        }
        break;
    }
    return prologue;
}

class EncodingsAgainstPrologues : public testing::TestWithParam<std::string> {};

TEST_P(EncodingsAgainstPrologues, DecodedRegistersAreThoseThePrologueSaves) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const cpu_type_t cpu = kocrash_async_macho_cpu_type(fixture.image());
    const auto listed = oracle::readUnwindInfo(fixture.path());
    const auto disassembly = oracle::readDisassembly(fixture.path());
    int checked = 0;
    for (const auto& function : oracle::readFunctions(fixture.path())) {
        const std::uint64_t start = function.symbol.address - fixture.image()->text_address;
        const auto entry = listed.covering(start);
        if (!entry || entry->functionOffset != start) {
            continue; // folded into the entry of the function before it
        }
        SCOPED_TRACE(function.symbol.name);
        kocrash_async_cfe_entry decoded;
        ASSERT_EQ(kocrash_async_cfe_entry_init(&decoded, cpu, entry->encoding), KOCRASH_ESUCCESS);
        const auto& code = disassembly.at(function.symbol.name);
        const Prologue prologue =
            cpu == CPU_TYPE_ARM64 ? arm64Prologue(code) : x86_64Prologue(code);
        if (kocrash_async_cfe_entry_type(&decoded) == KOCRASH_ASYNC_CFE_TYPE_DWARF) {
            continue;
        }
        EXPECT_EQ(kocrash_async_cfe_entry_type(&decoded) == KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR,
                  prologue.frame);
        std::uint32_t registers[KOCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
        kocrash_async_cfe_entry_register_list(&decoded, registers);
        std::set<std::uint32_t> decodedSet;
        for (std::uint32_t index = 0; index < kocrash_async_cfe_entry_register_count(&decoded);
             ++index) {
            if (registers[index] != KOCRASH_ASYNC_CFE_REG_NONE) {
                decodedSet.insert(registers[index]);
            }
        }
        EXPECT_EQ(decodedSet, prologue.saved);
        ++checked;
    }
    EXPECT_GE(checked, 2);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EncodingsAgainstPrologues,
                         testing::Values("functions_arm64.dylib", "functions_x86_64.dylib",
                                         "prologues_arm64.dylib"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// A section assembled by hand: header, two common encodings, a first level of three pages
// (regular, compressed with page-local encodings, compressed with a bad index) and the end
// marker. Pages sit at offsets that differ from their entries' offsets, so page-relative and
// section-relative reading part ways.
class SyntheticUnwindSection {
public:
    SyntheticUnwindSection() {
        words_.resize(1024, 0);
        put(0, 1);   // version
        put(4, 28);  // common encodings offset
        put(8, 2);   // common encodings count
        put(12, 36); // personalities offset
        put(16, 0);  // personalities count
        put(20, 36); // index offset
        put(24, 4);  // index count
        put(28, 0x04000001);
        put(32, 0x02002000);
        index(36, 0x1000, 0x100);
        index(48, 0x2000, 0x200);
        index(60, 0x3000, 0x300);
        index(72, 0x4000, 0);
        // Regular page at 0x100: entries 16 bytes into the page.
        put(0x100, UNWIND_SECOND_LEVEL_REGULAR);
        put16(0x104, 16);
        put16(0x106, 2);
        put(0x110, 0x1000);
        put(0x114, 0x04000003);
        put(0x118, 0x1800);
        put(0x11c, 0x02003000);
        // Compressed page at 0x200: entries at +12, page encodings at +24.
        put(0x200, UNWIND_SECOND_LEVEL_COMPRESSED);
        put16(0x204, 12);
        put16(0x206, 3);
        put16(0x208, 24);
        put16(0x20a, 1);
        put(0x20c, 0x00000000); // common 0 at base
        put(0x210, 0x01000100); // common 1 at base + 0x100
        put(0x214, 0x02000200); // page-local 0 at base + 0x200
        put(0x218, 0x04000007);
        // Compressed page at 0x300 whose entry names an encoding beyond every table.
        put(0x300, UNWIND_SECOND_LEVEL_COMPRESSED);
        put16(0x304, 12);
        put16(0x306, 1);
        put16(0x308, 16);
        put16(0x30a, 1);
        put(0x30c, 0x05000000);
        put(0x310, 0x04000009);
        EXPECT_EQ(kocrash_async_mobject_init(&mobj_, mach_task_self(), address(), 0x400, true),
                  KOCRASH_ESUCCESS);
    }
    ~SyntheticUnwindSection() { kocrash_async_mobject_free(&mobj_); }

    void put(std::size_t at, std::uint32_t value) { std::memcpy(bytes() + at, &value, 4); }
    void put16(std::size_t at, std::uint16_t value) { std::memcpy(bytes() + at, &value, 2); }
    kocrash_error_t find(std::uint64_t pc, std::uint64_t* offset, std::uint32_t* encoding) {
        // Rebuilt each time so that patches made after construction are seen.
        kocrash_async_mobject_free(&mobj_);
        kocrash_async_mobject_init(&mobj_, mach_task_self(), address(), 0x400, true);
        kocrash_async_cfe_reader reader;
        kocrash_error_t error = kocrash_async_cfe_reader_init(&reader, &mobj_, CPU_TYPE_ARM64);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        return kocrash_async_cfe_reader_find_pc(&reader, pc, offset, encoding);
    }

private:
    void index(std::size_t at, std::uint32_t function, std::uint32_t page) {
        put(at, function);
        put(at + 4, page);
        put(at + 8, 0);
    }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    std::uint64_t address() { return reinterpret_cast<std::uintptr_t>(words_.data()); }

    std::vector<std::uint32_t> words_;
    kocrash_async_mobject mobj_;
};

TEST(CompactUnwindSynthetic, PagesAreReadRelativeToThemselves) {
    SyntheticUnwindSection section;
    struct Case {
        std::uint64_t pc;
        kocrash_error_t error;
        std::uint64_t offset;
        std::uint32_t encoding;
    };
    for (const Case& expected : std::vector<Case>{
             {0x0fff, KOCRASH_ENOTFOUND, 0, 0},
             {0x1000, 0, 0x1000, 0x04000003},
             {0x17ff, 0, 0x1000, 0x04000003},
             {0x1800, 0, 0x1800, 0x02003000},
             {0x2000, 0, 0x2000, 0x04000001},
             {0x2150, 0, 0x2100, 0x02002000},
             {0x2200, 0, 0x2200, 0x04000007},
             {0x2fff, 0, 0x2200, 0x04000007},
             {0x3000, KOCRASH_EINVAL, 0, 0},
             {0x9000, KOCRASH_EINVAL, 0, 0},
         }) {
        SCOPED_TRACE(expected.pc);
        std::uint64_t offset = 0;
        std::uint32_t encoding = 0;
        ASSERT_EQ(section.find(expected.pc, &offset, &encoding), expected.error);
        if (expected.error == KOCRASH_ESUCCESS) {
            EXPECT_EQ(offset, expected.offset);
            EXPECT_EQ(encoding, expected.encoding);
        }
    }
}

TEST(CompactUnwindSynthetic, MalformedSectionsYieldCodes) {
    std::uint64_t offset;
    std::uint32_t encoding;
    {
        SyntheticUnwindSection section;
        section.put(0x100, 7); // an unknown page kind
        EXPECT_EQ(section.find(0x1000, &offset, &encoding), KOCRASH_EINVAL);
    }
    {
        SyntheticUnwindSection section;
        section.put16(0x106, 0xffff); // more entries than the section holds
        EXPECT_EQ(section.find(0x1000, &offset, &encoding), KOCRASH_EINVAL);
    }
    {
        SyntheticUnwindSection section;
        section.put(40, 0x10000); // a page beyond the section
        EXPECT_EQ(section.find(0x1000, &offset, &encoding), KOCRASH_EINVAL);
    }
    {
        SyntheticUnwindSection section;
        section.put(0, 2);
        EXPECT_EQ(section.find(0x1000, &offset, &encoding), KOCRASH_ENOTSUP);
    }
    {
        SyntheticUnwindSection section;
        section.put(24, 0); // no index at all
        EXPECT_EQ(section.find(0x1000, &offset, &encoding), KOCRASH_ENOTFOUND);
    }
}

TEST(CompactUnwindEntries, Arm64EncodingsDecode) {
    kocrash_async_cfe_entry entry;
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x04000001), KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR);
    EXPECT_EQ(entry.stack_offset, -16);
    ASSERT_EQ(entry.register_count, 2u);
    EXPECT_EQ(entry.register_list[0], KOCRASH_ARM64_X0 + 20);
    EXPECT_EQ(entry.register_list[1], KOCRASH_ARM64_X0 + 19);

    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x02002000), KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD);
    EXPECT_EQ(entry.stack_offset, 32);
    EXPECT_EQ(entry.return_address_register, KOCRASH_ARM64_LR);

    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x0400001f), KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.register_count, 10u);
    EXPECT_EQ(entry.register_list[0], KOCRASH_ARM64_X0 + 28);
    EXPECT_EQ(entry.register_list[9], KOCRASH_ARM64_X0 + 19);

    EXPECT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x01000000), KOCRASH_ENOTSUP);
    EXPECT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM, 0x04000000), KOCRASH_ENOTSUP);
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x03000abc), KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_DWARF);
    EXPECT_EQ(entry.stack_offset, 0xabc);
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0), KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_NONE);
}

TEST(CompactUnwindEntries, X86EncodingsDecode) {
    kocrash_async_cfe_entry entry;
    // rbp frame, registers rbx (1) then r12 (2), saved 16 bytes below rbp.
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x01020000 | 1 | (2 << 3)),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR);
    EXPECT_EQ(entry.stack_offset, -16);
    ASSERT_EQ(entry.register_count, 2u);
    EXPECT_EQ(entry.register_list[0], 4u);
    EXPECT_EQ(entry.register_list[1], 13u);
    // Frameless, indirect: stack size at offset 0x12 in the function, adjusted by 3 words.
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_X86, 0x03120000 | (3 << 13)),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(entry.type, KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT);
    EXPECT_EQ(entry.stack_offset, 0x12);
    EXPECT_EQ(entry.stack_adjust, 12u);
    // A register count of 7 cannot be decoded.
    EXPECT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x02010000 | (7 << 10)),
              KOCRASH_EINVAL);
    // A register code of 7 names no register.
    EXPECT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x01000007), KOCRASH_EINVAL);
}

TEST(CompactUnwindEntries, EveryRegisterPermutationRoundTrips) {
    for (std::uint32_t count = 1; count <= 6; ++count) {
        std::vector<std::uint32_t> codes{1, 2, 3, 4, 5, 6};
        std::set<std::uint32_t> seen;
        do {
            const std::uint32_t permutation =
                kocrash_async_cfe_register_encode(codes.data(), count);
            std::uint32_t decoded[6];
            ASSERT_EQ(kocrash_async_cfe_register_decode(permutation, count, decoded),
                      KOCRASH_ESUCCESS);
            EXPECT_TRUE(std::equal(codes.begin(), codes.begin() + count, decoded));
            EXPECT_LT(permutation, 1024u);
            seen.insert(permutation);
            std::reverse(codes.begin() + count, codes.end());
        } while (std::next_permutation(codes.begin(), codes.end()));
        EXPECT_EQ(seen.size(), std::set<std::uint32_t>(seen).size());
    }
    const std::uint32_t chosen[] = {6, 1, 2};
    std::uint32_t decoded[6];
    ASSERT_EQ(
        kocrash_async_cfe_register_decode(kocrash_async_cfe_register_encode(chosen, 3), 3, decoded),
        KOCRASH_ESUCCESS);
    EXPECT_EQ(decoded[0], 6u);
    EXPECT_EQ(decoded[1], 1u);
    EXPECT_EQ(decoded[2], 2u);
}

TEST(CompactUnwindEntries, PermutationsOutsideTheValidRangeAreErrors) {
    std::uint32_t decoded[6];
    EXPECT_EQ(kocrash_async_cfe_register_decode(6, 1, decoded), KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_cfe_register_decode(1023, 2, decoded), KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_cfe_register_decode(0, 7, decoded), KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_cfe_register_encode(nullptr, 0), 0u);
}

// Stack memory laid out as a prologue leaves it; the entry must find each value. Any user
// address of either build fits the 64-bit ARM state's 48 address bits.
class Arm64Stack : public testing::Test {
protected:
    static constexpr std::size_t kWords = 32;

    void SetUp() override {
        void* pages =
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(pages, MAP_FAILED);
        stack_ = static_cast<std::uint64_t*>(pages);
        kocrash_async_thread_state_init(&state_, CPU_TYPE_ARM64);
        for (std::size_t index = 0; index < kWords; ++index) {
            stack_[index] = 0x5000 + index;
        }
    }
    void TearDown() override {
        if (stack_ != nullptr) {
            munmap(stack_, 4096);
        }
    }
    std::uint64_t at(std::size_t index) { return reinterpret_cast<std::uintptr_t>(&stack_[index]); }

    kocrash_async_thread_state state_;
    kocrash_async_thread_state next_;
    std::uint64_t* stack_ = nullptr;
};

TEST_F(Arm64Stack, AFrameEntryRestoresTheCallerAndTheSavedPairs) {
    // fp points at the frame record; x20 and x19 sit in the two words below it.
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_REG_FP, at(10));
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_ARM64_X0 + 19, 1);
    kocrash_async_cfe_entry entry;
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x04000001), KOCRASH_ESUCCESS);
    ASSERT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_REG_FP), stack_[10]);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_REG_IP), stack_[11]);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_REG_SP), at(12));
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_ARM64_X0 + 20), stack_[8]);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_ARM64_X0 + 19), stack_[9]);
    EXPECT_FALSE(kocrash_async_thread_state_has_reg(&next_, KOCRASH_ARM64_X0));
}

TEST_F(Arm64Stack, AFramelessEntryTakesTheReturnAddressFromLr) {
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_REG_SP, at(0));
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_ARM64_LR, 0x1234);
    kocrash_async_cfe_entry entry;
    // 32 bytes of stack with the x19/x20 pair at its top.
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x02002001), KOCRASH_ESUCCESS);
    ASSERT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_REG_SP), at(4));
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_REG_IP), 0x1234u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_ARM64_X0 + 20), stack_[2]);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&next_, KOCRASH_ARM64_X0 + 19), stack_[3]);
}

TEST_F(Arm64Stack, EntriesNeedTheirRegistersAndTheirOwnCpuType) {
    kocrash_async_cfe_entry entry;
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x04000000), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ENOTFOUND);
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x02002000), KOCRASH_ESUCCESS);
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_REG_SP, at(0));
    EXPECT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ENOTFOUND)
        << "no lr to return to";
    // x86 register numbers mean other registers in an ARM state.
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_REG_FP, at(10));
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_X86_64, 0x01020001), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ENOTSUP);
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x03000010), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ENOTSUP);
}

TEST_F(Arm64Stack, AFrameAtAnUnreadableAddressFailsWithTheReadsCode) {
    kocrash_async_thread_state_set_reg(&state_, KOCRASH_REG_FP, 0x10);
    kocrash_async_cfe_entry entry;
    ASSERT_EQ(kocrash_async_cfe_entry_init(&entry, CPU_TYPE_ARM64, 0x04000000), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_cfe_entry_apply(mach_task_self(), 0, &state_, &entry, &next_),
              KOCRASH_ENOTFOUND);
}

} // namespace
