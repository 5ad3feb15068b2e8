#include "platform/dyld/MachOImageMapping.h"

#include "platform/core/RegularFile.h"
#include "platform/dyld/DyldImages.h"
#include "platform/dyld/MachOLoadCommands.h"
#include "platform/mach/UnchangingMemory.h"

#include <cstring>
#include <limits>
#include <span>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace platform::dyld {
namespace {

constexpr std::uint64_t kMaximumSpan = std::uint64_t{64} << 20;

std::size_t pageSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t readUleb(std::span<const std::uint8_t> opcodes, std::size_t& at) {
    std::uint64_t value = 0;
    for (unsigned shift = 0; at < opcodes.size() && shift < 64; shift += 7) {
        std::uint8_t byte = opcodes[at++];
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80) == 0) {
            break;
        }
    }
    return value;
}

// Runs the image's rebase program: each pointer it names gets the slide added.
void rebase(std::span<std::uint8_t> image, const MachOLoadCommands& commands,
            std::span<const std::uint8_t> file, std::uint64_t textVmaddr, std::intptr_t slide) {
    if (!commands.dyldInfo || commands.dyldInfo->rebase_size == 0 ||
        commands.dyldInfo->rebase_off > file.size() ||
        commands.dyldInfo->rebase_size > file.size() - commands.dyldInfo->rebase_off) {
        return;
    }
    auto opcodes = file.subspan(commands.dyldInfo->rebase_off, commands.dyldInfo->rebase_size);
    const std::uint64_t pointerSize = commands.is64Bit ? 8 : 4;
    std::uint64_t address = 0;
    auto rebaseAt = [&](std::uint64_t at) {
        std::uint64_t offset = at - textVmaddr;
        if (offset > image.size() || image.size() - offset < pointerSize) {
            return;
        }
        if (pointerSize == 8) {
            std::uint64_t value;
            std::memcpy(&value, image.data() + offset, 8);
            value += static_cast<std::uint64_t>(slide);
            std::memcpy(image.data() + offset, &value, 8);
        } else {
            std::uint32_t value;
            std::memcpy(&value, image.data() + offset, 4);
            value += static_cast<std::uint32_t>(slide);
            std::memcpy(image.data() + offset, &value, 4);
        }
    };
    // Hostile counts must not spin: a loop ends once it leaves the image.
    auto inside = [&] { return address - textVmaddr < image.size(); };
    std::size_t at = 0;
    while (at < opcodes.size()) {
        std::uint8_t opcode = opcodes[at] & REBASE_OPCODE_MASK;
        std::uint8_t immediate = opcodes[at] & REBASE_IMMEDIATE_MASK;
        ++at;
        switch (opcode) {
        case REBASE_OPCODE_DONE:
            return;
        case REBASE_OPCODE_SET_TYPE_IMM:
            break;
        case REBASE_OPCODE_SET_SEGMENT_AND_OFFSET_ULEB:
            if (immediate >= commands.segments.size()) {
                return;
            }
            address = commands.segments[immediate].vmaddr + readUleb(opcodes, at);
            break;
        case REBASE_OPCODE_ADD_ADDR_ULEB:
            address += readUleb(opcodes, at);
            break;
        case REBASE_OPCODE_ADD_ADDR_IMM_SCALED:
            address += immediate * pointerSize;
            break;
        case REBASE_OPCODE_DO_REBASE_IMM_TIMES:
            for (unsigned count = 0; count < immediate && inside();
                 ++count, address += pointerSize) {
                rebaseAt(address);
            }
            break;
        case REBASE_OPCODE_DO_REBASE_ULEB_TIMES:
            for (std::uint64_t count = readUleb(opcodes, at); count > 0 && inside();
                 --count, address += pointerSize) {
                rebaseAt(address);
            }
            break;
        case REBASE_OPCODE_DO_REBASE_ADD_ADDR_ULEB:
            rebaseAt(address);
            address += readUleb(opcodes, at) + pointerSize;
            break;
        case REBASE_OPCODE_DO_REBASE_ULEB_TIMES_SKIPPING_ULEB: {
            std::uint64_t count = readUleb(opcodes, at);
            std::uint64_t skip = readUleb(opcodes, at);
            for (; count > 0 && inside(); --count, address += skip + pointerSize) {
                rebaseAt(address);
            }
            break;
        }
        default:
            return;
        }
    }
}

} // namespace

std::unique_ptr<MachOImageMapping> MachOImageMapping::map(const std::string& path) {
    std::error_code error;
    const std::string file =
        readRegularFile(path, std::numeric_limits<std::size_t>::max(), SymbolicLinks::follow, error)
            .value_or("");
    return fromBytes({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, path);
}

std::unique_ptr<MachOImageMapping> MachOImageMapping::fromBytes(std::span<const std::uint8_t> file,
                                                                const std::string& path) {
    auto commands = readLoadCommands(file);
    if (!commands) {
        return nullptr;
    }
    const MachOSegment* text = commands->segment("__TEXT");
    if (text == nullptr || text->fileoff != 0) {
        return nullptr;
    }
    std::uint64_t end = text->vmaddr;
    for (const auto& segment : commands->segments) {
        if (segment.initprot == VM_PROT_NONE && segment.filesize == 0) {
            continue; // the zero page of executables is never mapped
        }
        if (segment.vmaddr < text->vmaddr || segment.fileoff > file.size() ||
            segment.filesize > file.size() - segment.fileoff || segment.filesize > segment.vmsize) {
            return nullptr;
        }
        if (segment.vmsize > kMaximumSpan || segment.vmaddr - text->vmaddr > kMaximumSpan) {
            return nullptr;
        }
        end = std::max(end, segment.vmaddr + segment.vmsize);
    }
    const std::size_t length = (end - text->vmaddr + pageSize() - 1) / pageSize() * pageSize();
    void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        return nullptr;
    }
    std::unique_ptr<MachOImageMapping> image(new MachOImageMapping());
    image->base_ = static_cast<std::uint8_t*>(pages);
    image->length_ = length;
    image->path_ = path;
    image->slide_ = static_cast<std::intptr_t>(image->address() - text->vmaddr);
    for (const auto& segment : commands->segments) {
        if (segment.filesize != 0) {
            std::memcpy(image->base_ + (segment.vmaddr - text->vmaddr),
                        file.data() + segment.fileoff, segment.filesize);
        }
    }
    rebase(image->bytes(), *commands, file, text->vmaddr, image->slide_);
    const std::size_t textPages = (text->vmsize + pageSize() - 1) / pageSize() * pageSize();
    mprotect(image->base_, std::min(textPages, length), PROT_READ | PROT_EXEC);
    image->textRegistered_ =
        platform::mach::addUnchangingMemory(image->address(), std::min(textPages, length));
    return image;
}

MachOImageMapping::~MachOImageMapping() {
    if (textRegistered_) {
        platform::mach::removeUnchangingMemory(address());
    }
    munmap(base_, length_);
}

RegisteredImage::RegisteredImage(const MachOImageMapping& image) : header_(image.header()) {
    addImage(image.header(), image.slide(), image.path());
}

RegisteredImage::~RegisteredImage() {
    removeImage(header_);
}

} // namespace platform::dyld
