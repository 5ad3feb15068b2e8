// The loader stand-in's registry: add and remove callbacks, the accessors by index, dladdr for
// registered Mach-O images and for the process's ELF objects, and images mapped with their
// pointers rebased.
#include "platform/dyld/DyldImages.h"
#include "MachOOracle.h"
#include "platform/dyld/MachOImageMapping.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_get_image_vmaddr_slide;
using platform::dyld::_dyld_image_count;
using platform::dyld::_dyld_register_func_for_add_image;
using platform::dyld::_dyld_register_func_for_remove_image;

extern "C" int main(int, char**);

namespace {

std::string fixture(const std::string& name) {
    return oracle::fixturePath(name);
}

std::uint64_t nmAddress(const std::string& image, const std::string& name) {
    for (const auto& symbol : oracle::readSymbols(image)) {
        if (symbol.name == name) {
            return symbol.address;
        }
    }
    throw std::runtime_error("llvm-nm lists no " + name);
}

std::vector<const mach_header*> added;
std::vector<const mach_header*> removed;

TEST(DyldImages, CallbacksSeeEveryLoadedImageThenEachChange) {
    const std::uint32_t before = _dyld_image_count();
    ASSERT_GT(before, 1u) << "the process's own objects are announced";
    _dyld_register_func_for_add_image(
        [](const mach_header* header, std::intptr_t) { added.push_back(header); });
    _dyld_register_func_for_remove_image(
        [](const mach_header* header, std::intptr_t) { removed.push_back(header); });
    EXPECT_EQ(added.size(), before);
    EXPECT_EQ(added.front(), _dyld_get_image_header(0));

    auto image = platform::dyld::MachOImageMapping::map(fixture("functions_arm64.dylib"));
    ASSERT_NE(image, nullptr);
    {
        platform::dyld::RegisteredImage registered(*image);
        EXPECT_EQ(_dyld_image_count(), before + 1);
        EXPECT_EQ(added.back(), image->header());
        EXPECT_EQ(_dyld_get_image_header(before), image->header());
        EXPECT_EQ(_dyld_get_image_vmaddr_slide(before), image->slide());
        EXPECT_EQ(std::string(_dyld_get_image_name(before)), image->path());
    }
    EXPECT_EQ(_dyld_image_count(), before);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed.front(), image->header());
    EXPECT_EQ(_dyld_get_image_header(before + 5), nullptr);
}

TEST(DyldImages, DladdrNamesTheNearestSymbolOfARegisteredImage) {
    auto image = platform::dyld::MachOImageMapping::map(fixture("functions_x86_64.dylib"));
    ASSERT_NE(image, nullptr);
    platform::dyld::RegisteredImage registered(*image);
    platform::dyld::DlInfo info{};
    const auto* header = reinterpret_cast<const std::uint8_t*>(image->header());
    const std::uint64_t leaf = nmAddress(image->path(), "_leaf_add");
    ASSERT_NE(platform::dyld::dladdr(header + leaf + 4, &info), 0);
    EXPECT_EQ(info.dli_fbase, image->header());
    EXPECT_EQ(std::string(info.dli_fname), image->path());
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_STREQ(info.dli_sname, "leaf_add");
    EXPECT_EQ(info.dli_saddr, header + leaf);
    EXPECT_EQ(platform::dyld::dladdr(reinterpret_cast<void*>(0x10), &info), 0);
}

TEST(DyldImages, DladdrNamesFunctionsOfTheProcessItself) {
    platform::dyld::DlInfo info{};
    ASSERT_NE(platform::dyld::dladdr(reinterpret_cast<const void*>(&main), &info), 0);
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_STREQ(info.dli_sname, "main");
    EXPECT_EQ(info.dli_saddr, reinterpret_cast<const void*>(&main));
    EXPECT_EQ(info.dli_fbase, _dyld_get_image_header(0));
}

TEST(MachOImageMapping, PointersAreRebasedAndTextIsWhereTheHeaderIs) {
    auto image = platform::dyld::MachOImageMapping::map(fixture("metadata_arm64.dylib"));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header()->magic, MH_MAGIC_64);
    // The class list's single entry points at the class record.
    const auto headers = oracle::readHeaders(image->path());
    const auto* classList = headers.section("__DATA_CONST", "__objc_classlist");
    ASSERT_NE(classList, nullptr);
    std::uint64_t classPointer;
    std::memcpy(&classPointer, image->bytes().data() + classList->address, 8);
    EXPECT_EQ(classPointer, image->address() + nmAddress(image->path(), "_OBJC_CLASS_$_Root"));
    EXPECT_EQ(platform::dyld::MachOImageMapping::map(fixture("functions_universal.dylib")),
              nullptr);
    EXPECT_EQ(platform::dyld::MachOImageMapping::map(fixture("no-such-image")), nullptr);
}

} // namespace
