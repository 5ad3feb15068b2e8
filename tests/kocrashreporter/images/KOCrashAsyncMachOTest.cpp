// The Mach-O image reader over the linker's own images, checked against llvm-objdump: CPU type,
// __TEXT range, slide, every section and the UUID; universal files refused; images patched
// into hostile shapes yield codes, never reads past their data.
#include "images/KOCrashAsyncMachO.h"
#include "FixtureImages.h"
#include "MachOOracle.h"
#include "SyntheticImage.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

using platform::mach::mach_task_self;

namespace {

cpu_type_t cpuTypeNamed(const std::string& name) {
    if (name == "ARM64") {
        return CPU_TYPE_ARM64;
    }
    if (name == "X86_64") {
        return CPU_TYPE_X86_64;
    }
    return name == "ARM" ? CPU_TYPE_ARM : -1;
}

std::string uuidText(const std::uint8_t* bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (int index = 0; index < 16; ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10) {
            text += '-';
        }
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 15];
    }
    return text;
}

class MachOReaderAgainstObjdump : public testing::TestWithParam<std::string> {};

TEST_P(MachOReaderAgainstObjdump, HeaderTextSlideSectionsAndUuidMatch) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const auto* image = fixture.image();
    const oracle::Headers headers = oracle::readHeaders(fixture.path());

    EXPECT_EQ(kocrash_async_macho_cpu_type(image), cpuTypeNamed(headers.cpuType));
    EXPECT_EQ(image->is_64_bit, headers.magic == "MH_MAGIC_64");
    EXPECT_EQ(kocrash_async_macho_header_size(image), image->is_64_bit ? 32u : 28u);
    const oracle::Segment* text = headers.segment("__TEXT");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(image->text_address, text->vmaddr);
    EXPECT_EQ(image->text_length, text->vmsize);
    EXPECT_EQ(image->load_slide, fixture.mapping().slide());
    EXPECT_EQ(image->header_address, fixture.mapping().address());

    for (const auto& section : headers.sections) {
        SCOPED_TRACE(section.segment + "," + section.name);
        kocrash_async_mobject mobj;
        ASSERT_EQ(kocrash_async_macho_map_section(image, section.segment.c_str(),
                                                  section.name.c_str(), &mobj),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(kocrash_async_mobject_base_address(&mobj), fixture.slid(section.address));
        EXPECT_EQ(kocrash_async_mobject_length(&mobj), section.size);
        kocrash_async_mobject_free(&mobj);
    }
    kocrash_async_mobject absent;
    EXPECT_EQ(kocrash_async_macho_map_section(image, "__TEXT", "__nothing_here", &absent),
              KOCRASH_ENOTFOUND);
    EXPECT_EQ(kocrash_async_macho_map_section(image, "__NOSEGMENT", "__text", &absent),
              KOCRASH_ENOTFOUND);

    auto* uuid = static_cast<const std::uint8_t*>(kocrash_async_macho_find_command(image, LC_UUID));
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(uuidText(uuid + 8), headers.uuid);

    kocrash_async_macho_mapped_segment linkedit;
    ASSERT_EQ(kocrash_async_macho_map_segment(image, "__LINKEDIT", &linkedit), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_mobject_base_address(&linkedit.mobj),
              fixture.slid(headers.segment("__LINKEDIT")->vmaddr));
    kocrash_async_macho_mapped_segment_free(&linkedit);
    kocrash_async_macho_mapped_segment missing;
    EXPECT_EQ(kocrash_async_macho_map_segment(image, "__NOPE", &missing), KOCRASH_ENOTFOUND);
}

TEST_P(MachOReaderAgainstObjdump, ContainsExactlyTheTextRange) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const auto* image = fixture.image();
    EXPECT_TRUE(kocrash_async_macho_contains_address(image, image->header_address));
    EXPECT_TRUE(kocrash_async_macho_contains_address(image, image->header_address +
                                                                image->text_length - 1));
    EXPECT_FALSE(
        kocrash_async_macho_contains_address(image, image->header_address + image->text_length));
    EXPECT_FALSE(kocrash_async_macho_contains_address(image, image->header_address - 1));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MachOReaderAgainstObjdump,
                         testing::Values("functions_arm64.dylib", "functions_x86_64.dylib",
                                         "functions_armv7.dylib", "entry_arm64", "entry_x86_64",
                                         "entry_armv7", "metadata_arm64.dylib"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(MachOReader, RefusesAUniversalFile) {
    std::ifstream file(oracle::fixturePath("functions_universal.dylib"), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 4u);
    std::uint32_t magic;
    std::memcpy(&magic, bytes.data(), 4);
    ASSERT_EQ(magic, FAT_CIGAM) << "the universal magic is stored big-endian";
    kocrash_async_macho image{};
    EXPECT_EQ(kocrash_nasync_macho_init(&image, mach_task_self(), "universal",
                                        reinterpret_cast<std::uintptr_t>(bytes.data())),
              KOCRASH_EINVAL);
    EXPECT_EQ(image.name, nullptr) << "a refused image keeps no name copy";
}

TEST(MachOReader, ReadsBigEndianAnd32BitImagesAlike) {
    for (bool swapped : {false, true}) {
        for (bool wide : {false, true}) {
            SyntheticImageSpec spec;
            spec.is64Bit = wide;
            spec.swapped = swapped;
            spec.cpuType = wide ? CPU_TYPE_ARM64 : CPU_TYPE_ARM;
            SyntheticImage synthetic(spec);
            kocrash_async_macho image{};
            ASSERT_EQ(kocrash_nasync_macho_init(&image, mach_task_self(), "synthetic",
                                                synthetic.address()),
                      KOCRASH_ESUCCESS);
            EXPECT_EQ(image.is_64_bit, wide);
            EXPECT_EQ(kocrash_async_macho_cpu_type(&image), spec.cpuType);
            EXPECT_EQ(image.text_length, spec.textSize);
            EXPECT_EQ(image.load_slide, static_cast<std::int64_t>(synthetic.address()));
            EXPECT_EQ(kocrash_async_macho_byteorder(&image),
                      swapped ? &kocrash_async_byteorder_swapped : &kocrash_async_byteorder_direct);
            kocrash_nasync_macho_free(&image);
        }
    }
}

// A copy of a linked image that can be patched; the reader sees it like the loaded original.
class PatchedImage {
public:
    explicit PatchedImage(const std::string& name) : fixture_(name) {
        auto bytes = fixture_.mapping().bytes();
        copy_.resize((bytes.size() + 7) / 8);
        std::memcpy(copy_.data(), bytes.data(), bytes.size());
    }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(copy_.data()); }
    std::uint64_t address() { return reinterpret_cast<std::uintptr_t>(copy_.data()); }
    std::size_t command(std::uint32_t type) {
        auto* header = reinterpret_cast<mach_header_64*>(bytes());
        std::size_t offset = sizeof(mach_header_64);
        for (std::uint32_t index = 0; index < header->ncmds; ++index) {
            auto* command = reinterpret_cast<load_command*>(bytes() + offset);
            if (command->cmd == type) {
                return offset;
            }
            offset += command->cmdsize;
        }
        throw std::runtime_error("no such command");
    }
    void put32(std::size_t offset, std::uint32_t value) {
        std::memcpy(bytes() + offset, &value, 4);
    }

    kocrash_error_t init(kocrash_async_macho* image) {
        return kocrash_nasync_macho_init(image, mach_task_self(), "patched", address());
    }

private:
    MappedFixture fixture_;
    std::vector<std::uint64_t> copy_;
};

TEST(MachOReaderHostileCommands, ACommandSizeBelowEightEndsTheIteration) {
    PatchedImage patched("functions_arm64.dylib");
    patched.put32(patched.command(LC_SYMTAB) + 4, 4);
    kocrash_async_macho image{};
    ASSERT_EQ(patched.init(&image), KOCRASH_ESUCCESS) << "__TEXT comes before the damage";
    EXPECT_EQ(kocrash_async_macho_find_command(&image, LC_SYMTAB), nullptr);
    EXPECT_EQ(kocrash_async_macho_find_command(&image, LC_UUID), nullptr)
        << "nothing after the malformed command is read";
    kocrash_nasync_macho_free(&image);
}

TEST(MachOReaderHostileCommands, ACommandRunningPastTheCommandsEndsTheIteration) {
    PatchedImage patched("functions_arm64.dylib");
    patched.put32(patched.command(LC_UUID) + 4, 0x7ffffff0);
    kocrash_async_macho image{};
    ASSERT_EQ(patched.init(&image), KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_macho_find_command(&image, LC_UUID), nullptr);
    kocrash_nasync_macho_free(&image);
}

TEST(MachOReaderHostileCommands, ASegmentCommandCutShortRefusesTheImage) {
    PatchedImage patched("functions_arm64.dylib");
    // The command still fits the mapping, but no longer its own fixed size.
    patched.put32(patched.command(LC_SEGMENT_64) + 4, 16);
    kocrash_async_macho image{};
    EXPECT_EQ(patched.init(&image), KOCRASH_EINVAL);
}

TEST(MachOReaderHostileCommands, LoadCommandsBeyondReadableMemoryRefuseTheImage) {
    PatchedImage patched("functions_arm64.dylib");
    patched.put32(20, 0x40000000);
    kocrash_async_macho image{};
    EXPECT_NE(patched.init(&image), KOCRASH_ESUCCESS);
}

TEST(MachOReaderHostileCommands, SectionRecordsBeyondTheirCommandAreAnError) {
    PatchedImage patched("functions_arm64.dylib");
    // A dylib's first segment is __TEXT; claim a thousand sections for it.
    patched.put32(patched.command(LC_SEGMENT_64) + 64, 1000);
    kocrash_async_macho image{};
    ASSERT_EQ(patched.init(&image), KOCRASH_ESUCCESS);
    kocrash_async_mobject mobj;
    EXPECT_EQ(kocrash_async_macho_map_section(&image, "__TEXT", "__not_there", &mobj),
              KOCRASH_EINVAL);
    kocrash_nasync_macho_free(&image);
}

} // namespace
