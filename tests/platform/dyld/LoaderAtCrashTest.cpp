// The comparison a report makes with the loader: a plugin opened since the registry's last use is
// found in the link map and shown as a Mach-O view with its UUID, its dynamic functions and its
// .eh_frame; once announced and then closed, its image is told as closed and no view is built.
#include "platform/dyld/LoaderAtCrash.h"

#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include "TestPlugin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;
using platform::mach::mach_vm_read_overwrite;

namespace {

std::optional<platform::dyld::LateImage> lateImageAt(const std::string& path) {
    for (std::size_t index = 0; index < platform::dyld::lateImageCount(); ++index) {
        if (path == platform::dyld::lateImage(index).path) {
            return platform::dyld::lateImage(index);
        }
    }
    return std::nullopt;
}

// The header and load commands as the crash reporter reads them, through the Mach memory calls.
std::vector<std::uint8_t> headerAndCommands(const mach_header* header) {
    mach_header_64 fixed{};
    mach_vm_size_t read = 0;
    const auto address = reinterpret_cast<mach_vm_address_t>(header);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address, sizeof(fixed),
                                     reinterpret_cast<mach_vm_address_t>(&fixed), &read),
              KERN_SUCCESS);
    std::vector<std::uint8_t> bytes(sizeof(fixed) + fixed.sizeofcmds);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address, bytes.size(),
                                     reinterpret_cast<mach_vm_address_t>(bytes.data()), &read),
              KERN_SUCCESS);
    return bytes;
}

template <typename Command>
std::optional<Command> findCommand(const std::vector<std::uint8_t>& bytes, std::uint32_t type) {
    for (std::size_t at = sizeof(mach_header_64); at + sizeof(load_command) <= bytes.size();) {
        load_command command;
        std::memcpy(&command, bytes.data() + at, sizeof(command));
        if (command.cmd == type && at + sizeof(Command) <= bytes.size()) {
            Command found;
            std::memcpy(&found, bytes.data() + at, sizeof(found));
            return found;
        }
        at += command.cmdsize != 0 ? command.cmdsize : bytes.size();
    }
    return std::nullopt;
}

std::string hex(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    for (std::size_t index = 0; index < length; ++index) {
        constexpr const char* kDigits = "0123456789abcdef";
        text += kDigits[bytes[index] >> 4];
        text += kDigits[bytes[index] & 15];
    }
    return text;
}

TEST(LoaderAtCrash, APluginOpenedSinceTheLastUseIsShownAndOneClosedSinceIsTold) {
    ASSERT_GT(_dyld_image_count(), 0u);
    const mach_header* pluginHeader = nullptr;
    {
        testplugin::OpenedPlugin plugin;
        ASSERT_TRUE(platform::dyld::openLoaderComparison());
        EXPECT_TRUE(lateImageAt(testplugin::kHelperPath));
        const auto late = lateImageAt(testplugin::kPath);
        ASSERT_TRUE(late);
        pluginHeader = late->header;
        const auto bytes = headerAndCommands(late->header);
        mach_header_64 header;
        std::memcpy(&header, bytes.data(), sizeof(header));
        EXPECT_EQ(header.magic, MH_MAGIC_64);
        const auto uuid = findCommand<uuid_command>(bytes, LC_UUID);
        ASSERT_TRUE(uuid);
        EXPECT_EQ(hex(uuid->uuid, sizeof(uuid->uuid)), testplugin::kUuidHex);
        const auto symtab = findCommand<symtab_command>(bytes, LC_SYMTAB);
        ASSERT_TRUE(symtab);
        EXPECT_GE(symtab->nsyms, 4u) << "its four functions";
        const auto text = findCommand<segment_command_64>(bytes, LC_SEGMENT_64);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->nsects, 3u) << "__text, __eh_frame and __eh_frame_hdr";
        platform::dyld::closeLoaderComparison();

        const auto announced = platform::dyld::describeAddress(
            reinterpret_cast<const void*>(plugin.function<testplugin::Call>("test_plugin_call")));
        ASSERT_TRUE(announced);
        EXPECT_EQ(announced->header, pluginHeader) << "the registry's view stands where it stood";
        ASSERT_TRUE(platform::dyld::openLoaderComparison());
        EXPECT_FALSE(lateImageAt(testplugin::kPath));
        EXPECT_FALSE(platform::dyld::closedSinceFollowed(pluginHeader));
        platform::dyld::closeLoaderComparison();
    }
    ASSERT_TRUE(platform::dyld::openLoaderComparison());
    EXPECT_FALSE(platform::dyld::openLoaderComparison()) << "one comparison at a time";
    EXPECT_TRUE(platform::dyld::closedSinceFollowed(pluginHeader));
    EXPECT_FALSE(lateImageAt(testplugin::kPath));
    platform::dyld::closeLoaderComparison();
}

} // namespace
