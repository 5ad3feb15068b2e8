// The call-frame readers against readelf on real tables: the live .eh_frame of the C library,
// the C++ library, the loader and this test executable as loaded in this process (the arm64
// build reads arm64 libraries with arm64 register numbers), and fixtures of other formats
// (.debug_frame versions 1 and 4, 64-bit DWARF, 32-bit and big-endian objects, hand-written
// call-frame information).
#include "FrameOracle.h"

#include "ElfFile.h"
#include "LoadedObjects.h"
#include "MappedImage.h"
#include "ReadelfFrames.h"
#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfEncoding.h"
#include "unwind/KOCrashAsyncDwarfFrameIndex.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

const kocrash_async_byteorder* byteorderOf(const ElfFile& file) {
    return file.isBigEndian() ? kocrash_async_byteorder_big_endian()
                              : kocrash_async_byteorder_little_endian();
}

struct LiveObject {
    const char* name;
    const char* fileNamePrefix;
    // A floor on the rows, so that a parser that quietly sees nothing fails.
    std::size_t minimumRows;
};

class LiveFrames : public testing::TestWithParam<LiveObject> {};

TEST_P(LiveFrames, EveryFdeAndEveryRowMatchReadelf) {
    const std::optional<LoadedObject> object = loadedObject(GetParam().fileNamePrefix);
    ASSERT_TRUE(object) << GetParam().name << " is not loaded";
    const ElfFile file(object->path);
    const std::optional<ElfSection> section = file.section(".eh_frame");
    ASSERT_TRUE(section);
    const FrameOracleCounts counts = checkFrameSectionAgainstReadelf(
        {object->path, ".eh_frame", object->loadBias + section->address, section->size,
         object->loadBias, file.is64Bit(), byteorderOf(file), file.machine()});
    EXPECT_GE(counts.rowsChecked, GetParam().minimumRows);
    EXPECT_GT(counts.searches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Process, LiveFrames,
                         testing::Values(LiveObject{"CLibrary", "libc.so", 20000},
                                         LiveObject{"CxxLibrary", "libstdc++.so", 20000},
                                         LiveObject{"Loader", "ld-linux", 1000},
                                         LiveObject{"Executable", "", 1000}),
                         [](const testing::TestParamInfo<LiveObject>& info) {
                             return std::string(info.param.name);
                         });

// The loader finds .eh_frame through .eh_frame_hdr, whose pointers use encodings of their own:
// the section pointer (pc-relative) and a sorted table of start addresses and FDE addresses
// relative to the header itself.
TEST(LiveFrameHeader, PointersOfTheFrameHeaderLeadToTheSameFdes) {
    const std::optional<LoadedObject> object = loadedObject("libc.so");
    ASSERT_TRUE(object);
    ASSERT_NE(object->ehFrameHeader, 0u);
    const ElfFile file(object->path);
    const ElfSection ehFrame = *file.section(".eh_frame");
    const ElfSection header = *file.section(".eh_frame_hdr");
    const auto* little = kocrash_async_byteorder_little_endian();

    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_mobject_init(&mobj, mach_task_self(), object->ehFrameHeader,
                                         header.size, true),
              KOCRASH_ESUCCESS);
    std::uint8_t encodings[4];
    for (int index = 0; index < 4; ++index) {
        kocrash_async_mobject_read_uint8(&mobj, object->ehFrameHeader, index, &encodings[index]);
    }
    ASSERT_EQ(encodings[0], 1u);
    gnu_ehptr_reader<std::uint64_t> reader(little);
    reader.set_data_base(object->ehFrameHeader);
    std::uint64_t sectionAddress;
    std::uint64_t count;
    kocrash_vm_size_t size;
    kocrash_vm_off_t offset = 4;
    ASSERT_EQ(
        reader.read(&mobj, object->ehFrameHeader, offset, encodings[1], &sectionAddress, &size),
        KOCRASH_ESUCCESS);
    EXPECT_EQ(sectionAddress, object->loadBias + ehFrame.address);
    offset += static_cast<kocrash_vm_off_t>(size);
    ASSERT_EQ(reader.read(&mobj, object->ehFrameHeader, offset, encodings[2], &count, &size),
              KOCRASH_ESUCCESS);
    offset += static_cast<kocrash_vm_off_t>(size);
    EXPECT_EQ(count, readelfFrames(object->path, ".eh_frame").fdes.size());

    kocrash_async_mobject frames;
    ASSERT_EQ(
        kocrash_async_mobject_init(&frames, mach_task_self(), sectionAddress, ehFrame.size, true),
        KOCRASH_ESUCCESS);
    std::uint64_t previousStart = 0;
    for (std::uint64_t entry = 0; entry < count; ++entry) {
        std::uint64_t start;
        std::uint64_t fdeAddress;
        ASSERT_EQ(reader.read(&mobj, object->ehFrameHeader, offset, encodings[3], &start, &size),
                  KOCRASH_ESUCCESS);
        offset += static_cast<kocrash_vm_off_t>(size);
        ASSERT_EQ(
            reader.read(&mobj, object->ehFrameHeader, offset, encodings[3], &fdeAddress, &size),
            KOCRASH_ESUCCESS);
        offset += static_cast<kocrash_vm_off_t>(size);
        EXPECT_GE(start, previousStart);
        previousStart = start;
        kocrash_async_dwarf_fde_info fde;
        ASSERT_EQ(kocrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, &frames, little,
                                                                   fdeAddress, false),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(fde.start_pc, start);
    }
    kocrash_async_mobject_free(&frames);
    kocrash_async_mobject_free(&mobj);
}

// The binary search over the header's table finds, for every pc, the FDE readelf lists for it:
// at the first, the middle and the last byte of every FDE, and none just past an FDE that no
// other covers.
class LiveFrameTable : public testing::TestWithParam<LiveObject> {};

TEST_P(LiveFrameTable, FindsTheFdeReadelfListsForEveryPc) {
    const std::optional<LoadedObject> object = loadedObject(GetParam().fileNamePrefix);
    ASSERT_TRUE(object);
    ASSERT_NE(object->ehFrameHeader, 0u);
    const ElfFile file(object->path);
    const ElfSection ehFrame = *file.section(".eh_frame");
    const ElfSection header = *file.section(".eh_frame_hdr");
    const auto* little = kocrash_async_byteorder_little_endian();
    kocrash_async_mobject headerObject;
    kocrash_async_mobject frames;
    ASSERT_EQ(kocrash_async_mobject_init(&headerObject, mach_task_self(), object->ehFrameHeader,
                                         header.size, true),
              KOCRASH_ESUCCESS);
    ASSERT_EQ(kocrash_async_mobject_init(&frames, mach_task_self(),
                                         object->loadBias + ehFrame.address, ehFrame.size, true),
              KOCRASH_ESUCCESS);
    const ReadelfFrames listed = readelfFrames(object->path, ".eh_frame");
    const auto covering = [&](std::uint64_t pc) -> const ReadelfFde* {
        for (const ReadelfFde& fde : listed.fdes) {
            if (fde.pcBegin <= pc && pc < fde.pcEnd) {
                return &fde;
            }
        }
        return nullptr;
    };
    // Kept from search to search, as a walk keeps it for an image.
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    std::size_t searches = 0;
    std::size_t misses = 0;
    std::size_t differences = 0;
    const auto check = [&](std::uint64_t pc) {
        const ReadelfFde* expected = covering(pc);
        kocrash_async_dwarf_fde_info found;
        const kocrash_error_t error = kocrash_async_dwarf_eh_frame_hdr_find_fde<std::uint64_t>(
            &headerObject, &frames, little, object->loadBias + pc, &memos, &found);
        ++searches;
        misses += expected == nullptr ? 1 : 0;
        const bool same = expected == nullptr
                              ? error == KOCRASH_ENOTFOUND
                              : error == KOCRASH_ESUCCESS &&
                                    found.fde_entry_offset == expected->offset + 4 &&
                                    found.start_pc == object->loadBias + expected->pcBegin;
        if (!same && ++differences <= 5) {
            ADD_FAILURE() << "pc " << std::hex << pc << ": code " << error << ", FDE at "
                          << found.fde_entry_offset - 4 << ", readelf "
                          << (expected != nullptr ? expected->offset : 0);
        }
    };
    for (const ReadelfFde& fde : listed.fdes) {
        if (fde.pcBegin == fde.pcEnd) {
            continue;
        }
        check(fde.pcBegin);
        check(fde.pcBegin + (fde.pcEnd - fde.pcBegin) / 2);
        check(fde.pcEnd - 1);
        check(fde.pcEnd);
    }
    EXPECT_EQ(differences, 0u);
    EXPECT_GT(searches, 1000u);
    EXPECT_GT(misses, 0u) << "some pcs lie between functions";
    kocrash_async_mobject_free(&frames);
    kocrash_async_mobject_free(&headerObject);
}

INSTANTIATE_TEST_SUITE_P(Process, LiveFrameTable,
                         testing::Values(LiveObject{"CLibrary", "libc.so", 0},
                                         LiveObject{"CxxLibrary", "libstdc++.so", 0},
                                         LiveObject{"Executable", "", 0}),
                         [](const testing::TestParamInfo<LiveObject>& info) {
                             return std::string(info.param.name);
                         });

// A header whose table cannot be searched leaves the search to a scan of .eh_frame; one whose
// count runs past its end is damaged.
TEST(FrameTableHeader, UnusableAndDamagedTables) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        kocrash_error_t expected;
    };
    const std::uint8_t datarel4 = DW_EH_PE_datarel | DW_EH_PE_sdata4;
    const std::uint8_t udata4 = DW_EH_PE_udata4;
    const std::uint8_t pcrel4 = DW_EH_PE_pcrel | DW_EH_PE_sdata4;
    const Case cases[] = {
        // Another version.
        {{2, pcrel4, udata4, datarel4, 0, 0, 0, 0, 0, 0, 0, 0}, KOCRASH_ENOTSUP},
        // No table.
        {{1, pcrel4, DW_EH_PE_omit, DW_EH_PE_omit, 0, 0, 0, 0}, KOCRASH_ENOTSUP},
        // Entries of varying size.
        {{1, pcrel4, udata4, DW_EH_PE_uleb128, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}, KOCRASH_ENOTSUP},
        // Two entries announced, room for one.
        {{1, pcrel4, udata4, datarel4, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         KOCRASH_EINVAL},
        // An empty table holds no pc.
        {{1, pcrel4, udata4, datarel4, 0, 0, 0, 0, 0, 0, 0, 0}, KOCRASH_ENOTFOUND},
    };
    const auto* little = kocrash_async_byteorder_little_endian();
    for (const Case& test : cases) {
        kocrash_async_mobject header;
        ASSERT_EQ(kocrash_async_mobject_init(&header, mach_task_self(),
                                             reinterpret_cast<std::uintptr_t>(test.bytes.data()),
                                             test.bytes.size(), true),
                  KOCRASH_ESUCCESS);
        kocrash_async_dwarf_fde_info fde;
        kocrash_async_dwarf_cie_memos memos;
        kocrash_async_dwarf_cie_memos_init(&memos);
        EXPECT_EQ(kocrash_async_dwarf_eh_frame_hdr_find_fde<std::uint64_t>(&header, &header, little,
                                                                           0x1000, &memos, &fde),
                  test.expected)
            << "header of " << test.bytes.size() << " bytes, version " << int{test.bytes[0]};
        kocrash_async_mobject_free(&header);
    }
}

struct Fixture {
    const char* file;
    const char* section;
    std::size_t minimumRows;
};

class FixtureFrames : public testing::TestWithParam<Fixture> {};

TEST_P(FixtureFrames, EveryFdeAndEveryRowMatchReadelf) {
    const std::string path = std::string(DWARF_FIXTURE_DIR) + "/" + GetParam().file;
    const ElfFile file(path);
    const std::optional<ElfSection> section = file.section(GetParam().section);
    ASSERT_TRUE(section) << path;
    // .eh_frame holds pointers relative to its own place, so it is read where the file says it
    // is; .debug_frame holds absolute addresses and can be read anywhere.
    std::unique_ptr<MappedImage> image;
    std::unique_ptr<CopiedSection> copy;
    std::uint64_t address = section->address;
    if (std::string(GetParam().section) == ".eh_frame") {
        image = std::make_unique<MappedImage>(file);
    } else {
        copy = std::make_unique<CopiedSection>(file, *section);
        address = copy->address();
    }
    const FrameOracleCounts counts =
        checkFrameSectionAgainstReadelf({path, GetParam().section, address, section->size, 0,
                                         file.is64Bit(), byteorderOf(file), file.machine()});
    EXPECT_GE(counts.rowsChecked, GetParam().minimumRows);
    EXPECT_GE(counts.fdes, 5u);
}

INSTANTIATE_TEST_SUITE_P(Formats, FixtureFrames,
                         testing::Values(Fixture{"eh_i386", ".eh_frame", 10},
                                         Fixture{"eh_ppc32_big_endian", ".eh_frame", 10},
                                         Fixture{"eh_arm64_big_endian", ".eh_frame", 10},
                                         Fixture{"eh_arm64_pac_ret", ".eh_frame", 10},
                                         Fixture{"debug_v1", ".debug_frame", 10},
                                         Fixture{"debug_v4", ".debug_frame", 10},
                                         Fixture{"debug_dwarf64", ".debug_frame", 10},
                                         Fixture{"debug_i386", ".debug_frame", 10},
                                         Fixture{"cfi_arm64", ".eh_frame", 40},
                                         Fixture{"cfi_arm64_debug", ".debug_frame", 40}),
                         [](const testing::TestParamInfo<Fixture>& info) {
                             return std::string(info.param.file);
                         });

// The CIE of the hand-written function with a personality: "zPLR" with an indirect
// personality pointer that resolves, through the data word, to the personality function.
TEST(FixtureFrames, PersonalityPointerResolvesThroughItsSlot) {
    const ElfFile file(std::string(DWARF_FIXTURE_DIR) + "/cfi_arm64");
    const MappedImage image(file);
    const ElfSection section = *file.section(".eh_frame");
    std::uint64_t function = 0;
    std::uint64_t personality = 0;
    for (const ElfSymbol& symbol : file.symbols()) {
        if (symbol.name == "with_personality") {
            function = symbol.address;
        } else if (symbol.name == "personality") {
            personality = symbol.address;
        }
    }
    ASSERT_NE(function, 0u);
    ASSERT_NE(personality, 0u);

    kocrash_async_mobject mobj;
    ASSERT_EQ(
        kocrash_async_mobject_init(&mobj, mach_task_self(), section.address, section.size, true),
        KOCRASH_ESUCCESS);
    const auto* little = kocrash_async_byteorder_little_endian();
    dwarf_frame_reader reader;
    reader.init(&mobj, little, true, false);
    kocrash_async_dwarf_fde_info fde;
    ASSERT_EQ(reader.find_fde(0, function + 4, &fde), KOCRASH_ESUCCESS);
    EXPECT_EQ(fde.start_pc, function);
    const gnu_ehptr_reader<std::uint64_t> pointers(little);
    kocrash_async_dwarf_cie_info cie;
    ASSERT_EQ(kocrash_async_dwarf_cie_info_init(&cie, &mobj, little, &pointers,
                                                section.address + fde.cie_entry_offset),
              KOCRASH_ESUCCESS);
    EXPECT_TRUE(cie.augmentation.has_personality_address);
    EXPECT_EQ(cie.augmentation.personality_address, personality);
    EXPECT_TRUE(cie.augmentation.has_lsda_encoding);
    EXPECT_EQ(cie.augmentation.lsda_encoding, DW_EH_PE_pcrel | DW_EH_PE_sdata4);
    EXPECT_EQ(cie.augmentation.pointer_encoding, DW_EH_PE_pcrel | DW_EH_PE_sdata4);
    kocrash_async_mobject_free(&mobj);
}

} // namespace
