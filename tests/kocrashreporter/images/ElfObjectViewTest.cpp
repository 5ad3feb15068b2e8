// The process's own ELF objects as the crash reporter sees them through the loader stand-in:
// the Mach-O reader finds each view at the object's base, names main and a C library
// function, and reads the build-id that readelf prints as the UUID.
#include "images/KOCrashAsyncImageList.h"
#include "images/KOCrashAsyncMachOSymtab.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"

#include "ReadelfBuildId.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;

extern "C" int main(int, char**);

namespace {

std::string hexOf(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    char digits[3];
    for (std::size_t index = 0; index < length; ++index) {
        std::snprintf(digits, sizeof(digits), "%02x", bytes[index]);
        text += digits;
    }
    return text;
}

struct Found {
    std::uint64_t address = 0;
    std::string name;
};

void record(kocrash_vm_address_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
}

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

class ProcessImages : public testing::Test {
protected:
    static void SetUpTestSuite() {
        list_ = new kocrash_async_image_list;
        kocrash_nasync_image_list_init(list_, mach_task_self());
        for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
            kocrash_nasync_image_list_append(list_, addressOf(_dyld_get_image_header(index)),
                                             _dyld_get_image_name(index));
        }
    }
    static void TearDownTestSuite() {
        kocrash_nasync_image_list_free(list_);
        delete list_;
    }

    const kocrash_async_macho* imageHolding(const void* code) {
        kocrash_async_image_list_set_reading(list_, true);
        kocrash_async_image* image = kocrash_async_image_containing_address(list_, addressOf(code));
        kocrash_async_image_list_set_reading(list_, false);
        return image != nullptr ? &image->macho_image : nullptr;
    }

    void expectNamed(const void* code, const std::string& name) {
        const kocrash_async_macho* image = imageHolding(code);
        ASSERT_NE(image, nullptr) << name;
        Found found;
        ASSERT_EQ(kocrash_async_macho_find_symbol_by_pc(image, addressOf(code) + 1, record, &found),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(found.address, addressOf(code)) << found.name;
        // Mach-O names C functions with a leading "_". An exported name must resolve to this
        // very code; the executable exports nothing, so its names are compared as they are.
        ASSERT_TRUE(found.name.starts_with("_")) << found.name;
        if (name.empty()) {
            EXPECT_EQ(dlsym(RTLD_DEFAULT, found.name.c_str() + 1), code) << found.name;
        } else {
            EXPECT_EQ(found.name, "_" + name);
        }
    }

    void expectUuidIsBuildId(const void* code) {
        const kocrash_async_macho* image = imageHolding(code);
        ASSERT_NE(image, nullptr);
        const std::string buildId = readelfBuildId(image->name);
        ASSERT_GE(buildId.size(), 32u) << "readelf shows no build-id for " << image->name;
        auto* uuid =
            static_cast<const std::uint8_t*>(kocrash_async_macho_find_command(image, LC_UUID));
        ASSERT_NE(uuid, nullptr);
        EXPECT_EQ(hexOf(uuid + 8, 16), buildId.substr(0, 32));
    }

    static kocrash_async_image_list* list_;
};

kocrash_async_image_list* ProcessImages::list_ = nullptr;

TEST_F(ProcessImages, TheExecutableViewNamesMainAndCarriesItsBuildId) {
    const void* code = reinterpret_cast<const void*>(&main);
    expectNamed(code, "main");
    expectUuidIsBuildId(code);
    const kocrash_async_macho* image = imageHolding(code);
    ASSERT_NE(image, nullptr);
    char executable[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", executable, sizeof(executable) - 1), 0);
    EXPECT_STREQ(image->name, executable);
#if defined(__aarch64__)
    EXPECT_EQ(kocrash_async_macho_cpu_type(image), CPU_TYPE_ARM64);
#else
    EXPECT_EQ(kocrash_async_macho_cpu_type(image), CPU_TYPE_X86_64);
#endif
}

TEST_F(ProcessImages, TheCLibraryViewNamesItsFunctionsAndCarriesItsBuildId) {
    for (const char* function : {"getpid", "qsort", "fputs"}) {
        const void* code = dlsym(RTLD_DEFAULT, function);
        ASSERT_NE(code, nullptr);
        expectNamed(code, "");
    }
    expectUuidIsBuildId(dlsym(RTLD_DEFAULT, "qsort"));
}

TEST_F(ProcessImages, TheViewsEhFrameSectionIsTheObjectsOwn) {
    const kocrash_async_macho* image = imageHolding(reinterpret_cast<const void*>(&main));
    ASSERT_NE(image, nullptr);
    // The frame-description table that the C library's unwinder uses leads to the same bytes.
    struct Search {
        std::uint64_t base;
        std::uint64_t ehFrame = 0;
        std::uint64_t header = 0;
        std::uint64_t headerSize = 0;
    } search{image->header_address};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* context) {
            auto* search = static_cast<Search*>(context);
            for (int index = 0; index < info->dlpi_phnum; ++index) {
                const auto& segment = info->dlpi_phdr[index];
                if (segment.p_type == PT_LOAD && segment.p_offset == 0 &&
                    info->dlpi_addr + segment.p_vaddr == search->base) {
                    for (int other = 0; other < info->dlpi_phnum; ++other) {
                        if (info->dlpi_phdr[other].p_type == PT_GNU_EH_FRAME) {
                            // .eh_frame_hdr: version, pointer encoding, ..., then the
                            // pc-relative 32-bit pointer to .eh_frame.
                            auto* header = reinterpret_cast<const std::uint8_t*>(
                                info->dlpi_addr + info->dlpi_phdr[other].p_vaddr);
                            std::int32_t relative;
                            std::memcpy(&relative, header + 4, 4);
                            if (header[1] == 0x1b) {
                                search->ehFrame = addressOf(header + 4) + relative;
                            }
                            search->header = addressOf(header);
                            search->headerSize = info->dlpi_phdr[other].p_memsz;
                        }
                    }
                }
            }
            return 0;
        },
        &search);
    ASSERT_NE(search.ehFrame, 0u);
    kocrash_async_mobject mobj;
    ASSERT_EQ(kocrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &mobj),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_mobject_base_address(&mobj), search.ehFrame);
    EXPECT_GT(kocrash_async_mobject_length(&mobj), 16u);
    kocrash_async_mobject_free(&mobj);
    // Its search table is there too, for the unwinder's binary search.
    ASSERT_EQ(kocrash_async_macho_map_section(image, "__TEXT", "__eh_frame_hdr", &mobj),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(kocrash_async_mobject_base_address(&mobj), search.header);
    EXPECT_EQ(kocrash_async_mobject_length(&mobj), search.headerSize);
    kocrash_async_mobject_free(&mobj);
}

TEST(ProcessImageHeaders, DirectReadersFindTheViewThroughTheLoader) {
    const auto* header = _dyld_get_image_header(0);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(std::memcmp(header,
                          "\x7f"
                          "ELF",
                          4),
              0)
        << "the object's own header stays in place for the C library";
    const auto* contents =
        static_cast<const mach_header*>(platform::dyld::imageHeaderContents(header));
    EXPECT_EQ(contents->magic, MH_MAGIC_64);
    EXPECT_EQ(contents->filetype, MH_EXECUTE);
}

} // namespace
