// CIE and FDE parsing and the FDE search over hand-built sections of both flavours: the
// cases real tables rarely contain (64-bit DWARF, rare augmentations, corrupt lengths).
// Real tables are checked against readelf in KOCrashAsyncDwarfFrameOracleTest.
#include "unwind/KOCrashAsyncDwarfEntries.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

#include "DwarfBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace kocrash::async;

namespace {

const kocrash_async_byteorder* little() {
    return kocrash_async_byteorder_little_endian();
}

// A section assembled entry by entry; each entry's length field is filled in at its end.
class Section {
public:
    explicit Section(bool dwarf64 = false) : dwarf64_(dwarf64) {}

    // Starts an entry and returns the offset of its length field.
    std::size_t begin() {
        const std::size_t start = bytes_.size();
        if (dwarf64_) {
            bytes_.u32(0xFFFFFFFF).u64(0);
        } else {
            bytes_.u32(0);
        }
        starts_.push_back(start);
        return start;
    }
    void end() {
        const std::size_t start = starts_.back();
        starts_.pop_back();
        const std::size_t header = dwarf64_ ? 12 : 4;
        const std::uint64_t length = bytes_.size() - start - header;
        if (dwarf64_) {
            bytes_.patch64(start + 4, length);
        } else {
            bytes_.patch32(start, static_cast<std::uint32_t>(length));
        }
    }
    DwarfBytes& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& raw() const { return bytes_.bytes(); }
    std::size_t size() const { return bytes_.size(); }

private:
    bool dwarf64_;
    DwarfBytes bytes_;
    std::vector<std::size_t> starts_;
};

// An .eh_frame CIE with the given augmentation (and its data), factors 1 and -8, return
// address column 30, and the initial instruction DW_CFA_def_cfa sp 0.
std::size_t ehCie(Section& section, const std::string& augmentation,
                  const DwarfBytes& augmentationData = DwarfBytes()) {
    const std::size_t start = section.begin();
    section.bytes().u32(0).u8(1).cstring(augmentation).uleb(1).sleb(-8).uleb(30);
    if (!augmentation.empty() && augmentation[0] == 'z') {
        section.bytes().uleb(augmentationData.size()).append(augmentationData);
    }
    section.bytes().raw({DW_CFA_def_cfa, 31, 0});
    section.end();
    return start;
}

// An .eh_frame FDE with absolute 8-byte addresses (a CIE without "R").
std::size_t ehFde(Section& section, std::size_t cie, std::uint64_t start, std::uint64_t length,
                  const DwarfBytes& instructions = DwarfBytes()) {
    const std::size_t entry = section.begin();
    section.bytes().u32(section.size() - cie).u64(start).u64(length).append(instructions);
    section.end();
    return entry;
}

struct Found {
    kocrash_error_t error;
    kocrash_async_dwarf_fde_info fde;
};

Found find(const Section& section, std::uint64_t pc, bool debugFrame = false,
           std::int64_t offset = 0) {
    MappedBytes mapped(section.raw());
    dwarf_frame_reader reader;
    reader.init(mapped.mobj(), little(), true, debugFrame);
    Found found{};
    found.error = reader.find_fde(offset, pc, &found.fde);
    return found;
}

TEST(KOCrashAsyncDwarfFrameReader, FindsTheFdeWhoseRangeHoldsThePc) {
    Section section;
    const std::size_t cie = ehCie(section, "");
    const std::size_t first = ehFde(section, cie, 0x1000, 0x40);
    const std::size_t second = ehFde(section, cie, 0x1040, 0xC0);
    section.bytes().u32(0);

    Found found = find(section, 0x1040);
    ASSERT_EQ(found.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(found.fde.fde_entry_offset, second + 4);
    EXPECT_EQ(found.fde.start_pc, 0x1040u);
    EXPECT_EQ(found.fde.end_pc, 0x1100u);
    EXPECT_EQ(found.fde.cie_entry_offset, cie);
    EXPECT_EQ(find(section, 0x103F).fde.fde_entry_offset, first + 4);
    EXPECT_EQ(find(section, 0x1100).error, KOCRASH_ENOTFOUND);
    EXPECT_EQ(find(section, 0xFFF).error, KOCRASH_ENOTFOUND);
    // Searching from the second FDE on.
    EXPECT_EQ(find(section, 0x1000, false, static_cast<std::int64_t>(second)).error,
              KOCRASH_ENOTFOUND);
}

TEST(KOCrashAsyncDwarfFrameReader, EndsAtTheTerminatorOrTheSectionEnd) {
    Section empty;
    empty.bytes().u32(0).u32(0);
    EXPECT_EQ(find(empty, 0x1000).error, KOCRASH_ENOTFOUND);
    EXPECT_EQ(find(empty, 0x1000, false, 8).error, KOCRASH_EINVAL);
    EXPECT_EQ(find(empty, 0x1000, false, -1).error, KOCRASH_EINVAL);

    Section unterminated;
    ehCie(unterminated, "");
    EXPECT_EQ(find(unterminated, 0x1000).error, KOCRASH_ENOTFOUND);

    // A length that runs past the section.
    Section truncated;
    truncated.bytes().u32(0x1000).u32(0);
    EXPECT_EQ(find(truncated, 0x1000).error, KOCRASH_ENOTFOUND);
    Section cutHeader;
    cutHeader.bytes().raw({0xFF, 0xFF, 0xFF, 0xFF, 1, 0});
    EXPECT_EQ(find(cutHeader, 0x1000).error, KOCRASH_EINVAL);

    // 64-bit lengths that wrap the address space, back onto the entry itself or a few bytes
    // further, would otherwise keep the scan going round.
    for (std::uint64_t length : {~0ull - 11, ~0ull - 4, ~0ull}) {
        Section wrapping;
        wrapping.bytes().u32(0xFFFFFFFF).u64(length).u64(~0ull).u32(0);
        EXPECT_EQ(find(wrapping, 0x1000, true).error, KOCRASH_EINVAL) << length;
    }
}

TEST(KOCrashAsyncDwarfFrameReader, TellsCiesFromFdesByTheSectionFlavour) {
    // In __debug_frame a CIE's identifier is all ones and an FDE's CIE pointer is an offset
    // from the section start, so an identifier 0 is an FDE of the CIE at offset 0.
    Section debug;
    const std::size_t cie = debug.begin();
    debug.bytes().u32(0xFFFFFFFF).u8(4).cstring("").u8(8).u8(0).uleb(1).sleb(-8).uleb(30);
    debug.end();
    debug.begin();
    debug.bytes().u32(static_cast<std::uint32_t>(cie)).u64(0x2000).u64(0x10);
    debug.end();
    Found found = find(debug, 0x2008, true);
    ASSERT_EQ(found.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(found.fde.cie_entry_offset, 0u);
    // Read as __eh_frame, the same identifier 0 marks a CIE, and the first entry's all-ones
    // identifier a (broken) FDE.
    EXPECT_EQ(find(debug, 0x2008, false).error, KOCRASH_EINVAL);
}

// The memos keep the CIEs of the last four FDEs parsed: a fifth CIE takes the place of the one
// kept longest, and an FDE of a kept CIE finds it there.
TEST(KOCrashAsyncDwarfEntries, MemosKeepTheCiesOfTheLastFourFdes) {
    Section section;
    std::vector<std::size_t> cies;
    std::vector<std::size_t> fdes;
    for (std::uint64_t factor = 1; factor <= 5; ++factor) {
        cies.push_back(section.begin());
        section.bytes().u32(0).u8(1).cstring("").uleb(factor).sleb(-8).uleb(30);
        section.bytes().raw({DW_CFA_def_cfa, 31, 0});
        section.end();
    }
    for (std::size_t index = 0; index < cies.size(); ++index) {
        fdes.push_back(ehFde(section, cies[index], 0x1000 * (index + 1), 0x10));
    }
    section.bytes().u32(0);
    MappedBytes mapped(section.raw());
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    const auto parse = [&](std::size_t index) {
        kocrash_async_dwarf_fde_info fde;
        ASSERT_EQ(kocrash_async_dwarf_fde_info_init_memos<std::uint64_t>(
                      &fde, mapped.mobj(), little(), mapped.address() + fdes[index], false, &memos),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(fde.start_pc, 0x1000 * (index + 1));
        EXPECT_EQ(fde.cie_entry_offset, cies[index]);
    };
    // The code alignment factor of each kept CIE, 0 for one the memos do not hold.
    const auto kept = [&] {
        std::vector<std::uint64_t> factors;
        for (const std::size_t cie : cies) {
            const kocrash_async_dwarf_cie_info* info =
                kocrash_async_dwarf_cie_memos_find(&memos, mapped.address() + cie);
            factors.push_back(info != nullptr ? info->code_alignment_factor : 0);
        }
        return factors;
    };
    EXPECT_EQ(kept(), (std::vector<std::uint64_t>{0, 0, 0, 0, 0}));
    for (std::size_t index = 0; index < 4; ++index) {
        parse(index);
    }
    EXPECT_EQ(kept(), (std::vector<std::uint64_t>{1, 2, 3, 4, 0}));
    parse(4);
    EXPECT_EQ(kept(), (std::vector<std::uint64_t>{0, 2, 3, 4, 5}));
    parse(1);
    EXPECT_EQ(kept(), (std::vector<std::uint64_t>{0, 2, 3, 4, 5}));
    parse(0);
    EXPECT_EQ(kept(), (std::vector<std::uint64_t>{1, 0, 3, 4, 5}));
}

TEST(KOCrashAsyncDwarfEntries, SixtyFourBitDwarfEntries) {
    Section section(true);
    const std::size_t cie = section.begin();
    section.bytes().u64(~0ull).u8(4).cstring("").u8(8).u8(0).uleb(4).sleb(-8).uleb(30);
    section.bytes().raw({DW_CFA_def_cfa, 31, 0});
    section.end();
    section.begin();
    section.bytes().u64(cie).u64(0x100000000).u64(0x20).raw({DW_CFA_nop});
    section.end();

    MappedBytes mapped(section.raw());
    kocrash_async_dwarf_cie_info info;
    gnu_ehptr_reader<std::uint64_t> reader(little());
    ASSERT_EQ(kocrash_async_dwarf_cie_info_init(&info, mapped.mobj(), little(), &reader,
                                                mapped.address()),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(info.cie_entry_offset, 12u);
    EXPECT_EQ(info.cie_id, ~0ull);
    EXPECT_EQ(info.version, 4u);
    EXPECT_EQ(info.address_size, 8u);
    EXPECT_EQ(info.code_alignment_factor, 4u);
    EXPECT_EQ(info.initial_instructions_length, 3u);
    EXPECT_EQ(info.initial_instructions_offset + info.initial_instructions_length,
              12 + info.cie_entry_length);

    Found found = find(section, 0x100000010, true);
    ASSERT_EQ(found.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(found.fde.start_pc, 0x100000000u);
    EXPECT_EQ(found.fde.instructions_length, 1u);
}

TEST(KOCrashAsyncDwarfEntries, PcRelativeStartsAndPlainRanges) {
    Section section;
    const std::size_t cie = ehCie(section, "zR", DwarfBytes().u8(DW_EH_PE_pcrel | DW_EH_PE_sdata4));
    const std::size_t fde = section.begin();
    section.bytes().u32(section.size() - cie).u32(0xFFFFFF00).u32(0x30).uleb(0).raw({DW_CFA_nop});
    section.end();

    MappedBytes mapped(section.raw());
    kocrash_async_dwarf_fde_info info;
    ASSERT_EQ(kocrash_async_dwarf_fde_info_init<std::uint64_t>(&info, mapped.mobj(), little(),
                                                               mapped.address() + fde, false),
              KOCRASH_ESUCCESS);
    // Relative to the start field's own address; the range is a plain value.
    EXPECT_EQ(info.start_pc, mapped.address() + fde + 8 - 0x100);
    EXPECT_EQ(info.end_pc - info.start_pc, 0x30u);
    EXPECT_EQ(info.instructions_length, 1u);
}

TEST(KOCrashAsyncDwarfEntries, PersonalityLsdaAndPointerEncodingInOrder) {
    static const std::uint64_t personality = 0xFEEDF00D;
    Section section;
    const DwarfBytes data = DwarfBytes()
                                .u8(DW_EH_PE_indirect | DW_EH_PE_absptr)
                                .u64(reinterpret_cast<std::uintptr_t>(&personality))
                                .u8(DW_EH_PE_udata4)
                                .u8(DW_EH_PE_udata4);
    const std::size_t cie = ehCie(section, "zPLR", data);
    const std::size_t fde = section.begin();
    // The FDE's augmentation data holds its LSDA pointer.
    section.bytes().u32(section.size() - cie).u32(0x4000).u32(0x10).uleb(4).u32(0x9999);
    section.bytes().raw({DW_CFA_advance_loc | 1, DW_CFA_nop});
    section.end();

    MappedBytes mapped(section.raw());
    kocrash_async_dwarf_cie_info info;
    gnu_ehptr_reader<std::uint64_t> reader(little());
    ASSERT_EQ(kocrash_async_dwarf_cie_info_init(&info, mapped.mobj(), little(), &reader,
                                                mapped.address() + cie),
              KOCRASH_ESUCCESS);
    EXPECT_TRUE(info.has_augmentation_data);
    EXPECT_TRUE(info.augmentation.has_personality_address);
    EXPECT_EQ(info.augmentation.personality_address, personality);
    EXPECT_TRUE(info.augmentation.has_lsda_encoding);
    EXPECT_EQ(info.augmentation.lsda_encoding, DW_EH_PE_udata4);
    EXPECT_TRUE(info.augmentation.has_pointer_encoding);
    EXPECT_EQ(info.augmentation.pointer_encoding, DW_EH_PE_udata4);
    EXPECT_FALSE(info.augmentation.signal_frame);
    EXPECT_EQ(info.initial_instructions_length, 3u);

    kocrash_async_dwarf_fde_info fdeInfo;
    ASSERT_EQ(kocrash_async_dwarf_fde_info_init<std::uint64_t>(&fdeInfo, mapped.mobj(), little(),
                                                               mapped.address() + fde, false),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(fdeInfo.start_pc, 0x4000u);
    EXPECT_EQ(fdeInfo.instructions_length, 2u);
    EXPECT_EQ(section.raw()[fdeInfo.instructions_offset], DW_CFA_advance_loc | 1);
}

TEST(KOCrashAsyncDwarfEntries, AugmentationsTheWalkDoesNotKnowAreSkippedByLength) {
    Section section;
    const std::size_t cie =
        ehCie(section, "zRSB", DwarfBytes().u8(DW_EH_PE_udata4).raw({0xAA, 0xBB}));
    MappedBytes mapped(section.raw());
    kocrash_async_dwarf_cie_info info;
    gnu_ehptr_reader<std::uint64_t> reader(little());
    ASSERT_EQ(kocrash_async_dwarf_cie_info_init(&info, mapped.mobj(), little(), &reader,
                                                mapped.address() + cie),
              KOCRASH_ESUCCESS);
    EXPECT_TRUE(info.augmentation.signal_frame);
    EXPECT_EQ(info.initial_instructions_length, 3u);
    EXPECT_EQ(section.raw()[info.initial_instructions_offset], DW_CFA_def_cfa);
}

TEST(KOCrashAsyncDwarfEntries, MalformedCiesAreRefused) {
    auto parse = [](const Section& section) {
        MappedBytes mapped(section.raw());
        kocrash_async_dwarf_cie_info info;
        gnu_ehptr_reader<std::uint64_t> reader(little());
        return kocrash_async_dwarf_cie_info_init(&info, mapped.mobj(), little(), &reader,
                                                 mapped.address());
    };
    auto cieWith = [](const std::function<void(DwarfBytes&)>& content) {
        Section section;
        section.begin();
        content(section.bytes());
        section.end();
        return section;
    };
    EXPECT_EQ(parse(cieWith(
                  [](DwarfBytes& b) { b.u32(0).u8(1).cstring("eh").uleb(1).sleb(-8).uleb(30); })),
              KOCRASH_ENOTSUP);
    EXPECT_EQ(
        parse(cieWith([](DwarfBytes& b) { b.u32(0).u8(2).cstring("").uleb(1).sleb(-8).uleb(30); })),
        KOCRASH_EINVAL);
    EXPECT_EQ(
        parse(cieWith([](DwarfBytes& b) { b.u32(7).u8(1).cstring("").uleb(1).sleb(-8).uleb(30); })),
        KOCRASH_EINVAL);
    // The augmentation string runs to the end of the entry without its NUL.
    EXPECT_EQ(parse(cieWith([](DwarfBytes& b) {
                  b.u32(0).u8(1).raw({'z', 'R'});
              })),
              KOCRASH_EINVAL);
    // The letters ask for more data than the declared length holds: the walk must not read
    // the initial instructions as augmentation data.
    EXPECT_EQ(parse(cieWith([](DwarfBytes& b) {
                  b.u32(0).u8(1).cstring("zPLR").uleb(1).sleb(-8).uleb(30).uleb(2);
                  b.raw({DW_EH_PE_udata4, 0x11, DW_CFA_def_cfa, 31, 0, 0, 0, 0});
              })),
              KOCRASH_EINVAL);
    // The declared augmentation length runs past the entry.
    EXPECT_EQ(parse(cieWith([](DwarfBytes& b) {
                  b.u32(0).u8(1).cstring("zR").uleb(1).sleb(-8).uleb(30).uleb(40).u8(0);
              })),
              KOCRASH_EINVAL);
    // A LEB128 factor longer than 64 bits.
    EXPECT_EQ(parse(cieWith([](DwarfBytes& b) {
                  b.u32(0).u8(1).cstring("");
                  for (int index = 0; index < 10; ++index) {
                      b.u8(0x80);
                  }
                  b.u8(0);
              })),
              KOCRASH_ENOTSUP);
}

TEST(KOCrashAsyncDwarfEntries, MalformedFdesAreRefused) {
    auto parse = [](const Section& section, std::size_t offset, bool debugFrame) {
        MappedBytes mapped(section.raw());
        kocrash_async_dwarf_fde_info info;
        return kocrash_async_dwarf_fde_info_init<std::uint64_t>(
            &info, mapped.mobj(), little(), mapped.address() + offset, debugFrame);
    };
    Section wrapping;
    const std::size_t cie = ehCie(wrapping, "");
    const std::size_t fde = ehFde(wrapping, cie, ~0ull - 0x10, 0x20);
    EXPECT_EQ(parse(wrapping, fde, false), KOCRASH_EINVAL);

    // A CIE pointer that reaches before the section.
    Section before;
    const std::size_t early = before.begin();
    before.bytes().u32(0x100).u64(0).u64(0);
    before.end();
    EXPECT_EQ(parse(before, early, false), KOCRASH_EINVAL);
    // A __debug_frame CIE pointer that is negative as a 64-bit offset.
    Section negative(true);
    const std::size_t late = negative.begin();
    negative.bytes().u64(0x8000000000000000).u64(0).u64(0);
    negative.end();
    EXPECT_EQ(parse(negative, late, true), KOCRASH_EINVAL);
    // Its augmentation data runs past the entry.
    Section augmented;
    const std::size_t zcie = ehCie(augmented, "zR", DwarfBytes().u8(DW_EH_PE_udata4));
    const std::size_t zfde = augmented.begin();
    augmented.bytes().u32(augmented.size() - zcie).u32(0x1000).u32(0x10).uleb(9).u32(0);
    augmented.end();
    EXPECT_EQ(parse(augmented, zfde, false), KOCRASH_EINVAL);
}

} // namespace
