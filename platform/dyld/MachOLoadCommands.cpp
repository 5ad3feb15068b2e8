#include "platform/dyld/MachOLoadCommands.h"

#include <algorithm>
#include <cstring>

namespace platform::dyld {
namespace {

template <typename T> std::optional<T> readAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    return value;
}

std::string segmentName(const char (&name)[16]) {
    return std::string(name, strnlen(name, sizeof(name)));
}

template <typename Command> MachOSegment segmentOf(const Command& command) {
    return MachOSegment{segmentName(command.segname),
                        command.vmaddr,
                        command.vmsize,
                        command.fileoff,
                        command.filesize,
                        command.initprot};
}

} // namespace

const MachOSegment* MachOLoadCommands::segment(const std::string& name) const {
    for (const auto& candidate : segments) {
        if (candidate.name == name) {
            return &candidate;
        }
    }
    return nullptr;
}

std::optional<MachOLoadCommands> readLoadCommands(std::span<const std::uint8_t> bytes) {
    auto header = readAt<mach_header>(bytes, 0);
    if (!header || (header->magic != MH_MAGIC && header->magic != MH_MAGIC_64)) {
        return std::nullopt;
    }
    MachOLoadCommands result;
    result.is64Bit = header->magic == MH_MAGIC_64;
    result.filetype = header->filetype;
    std::size_t offset = result.is64Bit ? sizeof(mach_header_64) : sizeof(mach_header);
    if (header->sizeofcmds > bytes.size() - std::min(offset, bytes.size())) {
        return std::nullopt;
    }
    const std::size_t end = offset + header->sizeofcmds;
    for (std::uint32_t index = 0; index < header->ncmds; ++index) {
        auto command = readAt<load_command>(bytes, offset);
        if (!command || command->cmdsize < sizeof(load_command) ||
            command->cmdsize > end - offset) {
            return std::nullopt;
        }
        std::span<const std::uint8_t> body = bytes.subspan(offset, command->cmdsize);
        if (command->cmd == LC_SEGMENT_64) {
            auto segment = readAt<segment_command_64>(body, 0);
            if (!segment) {
                return std::nullopt;
            }
            result.segments.push_back(segmentOf(*segment));
        } else if (command->cmd == LC_SEGMENT) {
            auto segment = readAt<segment_command>(body, 0);
            if (!segment) {
                return std::nullopt;
            }
            result.segments.push_back(segmentOf(*segment));
        } else if (command->cmd == LC_SYMTAB) {
            result.symtab = readAt<symtab_command>(body, 0);
        } else if (command->cmd == LC_DYLD_INFO || command->cmd == LC_DYLD_INFO_ONLY) {
            result.dyldInfo = readAt<dyld_info_command>(body, 0);
        }
        offset += command->cmdsize;
    }
    return result;
}

} // namespace platform::dyld
