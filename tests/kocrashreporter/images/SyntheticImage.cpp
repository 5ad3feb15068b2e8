#include "SyntheticImage.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t kLinkeditOffset = 0x1000;

std::uint16_t swapBytes(std::uint16_t value) {
    return __builtin_bswap16(value);
}
std::uint32_t swapBytes(std::uint32_t value) {
    return __builtin_bswap32(value);
}
std::uint64_t swapBytes(std::uint64_t value) {
    return __builtin_bswap64(value);
}

class Writer {
public:
    Writer(std::vector<std::uint8_t>& bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u16(std::uint16_t value) { raw(swapped_ ? swapBytes(value) : value); }
    void u32(std::uint32_t value) { raw(swapped_ ? swapBytes(value) : value); }
    void u64(std::uint64_t value) { raw(swapped_ ? swapBytes(value) : value); }
    void word(bool is64Bit, std::uint64_t value) {
        is64Bit ? u64(value) : u32(static_cast<std::uint32_t>(value));
    }
    void name(const char* text) {
        char field[16] = {};
        std::memcpy(field, text, std::min(std::strlen(text), sizeof(field)));
        bytes_.insert(bytes_.end(), field, field + 16);
    }

private:
    template <typename T> void raw(T value) {
        auto* data = reinterpret_cast<const std::uint8_t*>(&value);
        bytes_.insert(bytes_.end(), data, data + sizeof(T));
    }
    std::vector<std::uint8_t>& bytes_;
    bool swapped_;
};

} // namespace

SyntheticImage::SyntheticImage(const SyntheticImageSpec& spec) : spec_(spec) {
    const bool wide = spec.is64Bit;
    std::vector<std::uint8_t> linkedit;
    Writer symbols(linkedit, spec.swapped);
    std::vector<std::uint8_t> strings{' ', 0};
    for (const auto& symbol : spec.symbols) {
        symbols.u32(static_cast<std::uint32_t>(strings.size()));
        symbols.u8(symbol.type);
        symbols.u8(1);
        symbols.u16(symbol.desc);
        symbols.word(wide, symbol.value);
        strings.insert(strings.end(), symbol.name.begin(), symbol.name.end());
        strings.push_back(0);
    }
    const std::size_t stringsAt = linkedit.size();
    linkedit.insert(linkedit.end(), strings.begin(), strings.end());

    std::vector<std::uint8_t> image;
    Writer out(image, spec.swapped);
    if (kLinkeditOffset + linkedit.size() > kObjcOffset) {
        throw std::logic_error("the symbols reach into the __OBJC segment");
    }
    const bool objc = !spec.objcContents.empty() || !spec.objcSections.empty();
    const std::uint32_t segmentSize = wide ? sizeof(segment_command_64) : sizeof(segment_command);
    const std::uint32_t sectionSize = wide ? sizeof(section_64) : sizeof(section);
    const auto objcSize =
        static_cast<std::uint32_t>(segmentSize + spec.objcSections.size() * sectionSize);
    const std::uint32_t ncmds =
        2 + (objc ? 1 : 0) + (spec.withSymtab ? 1 : 0) + (spec.dynamicSymbols ? 1 : 0);
    const std::uint32_t sizeofcmds = 2 * segmentSize + (objc ? objcSize : 0) +
                                     (spec.withSymtab ? sizeof(symtab_command) : 0) +
                                     (spec.dynamicSymbols ? sizeof(dysymtab_command) : 0);
    out.u32(wide ? MH_MAGIC_64 : MH_MAGIC);
    out.u32(static_cast<std::uint32_t>(spec.cpuType));
    out.u32(0);
    out.u32(MH_DYLIB);
    out.u32(ncmds);
    out.u32(sizeofcmds);
    out.u32(0);
    if (wide) {
        out.u32(0);
    }
    auto segment = [&](const char* name, std::uint64_t vmaddr, std::uint64_t vmsize,
                       std::uint64_t fileoff, std::uint32_t nsects = 0) {
        commands_.push_back(image.size());
        out.u32(wide ? LC_SEGMENT_64 : LC_SEGMENT);
        out.u32(segmentSize + nsects * sectionSize);
        out.name(name);
        out.word(wide, vmaddr);
        out.word(wide, vmsize);
        out.word(wide, fileoff);
        out.word(wide, vmsize);
        out.u32(VM_PROT_READ);
        out.u32(VM_PROT_READ);
        out.u32(nsects);
        out.u32(0);
    };
    segment("__TEXT", 0, spec.textSize, 0);
    segment("__LINKEDIT", kLinkeditOffset, linkedit.size(), kLinkeditOffset);
    if (objc) {
        segment("__OBJC", kObjcOffset, spec.objcContents.size(), kObjcOffset,
                static_cast<std::uint32_t>(spec.objcSections.size()));
        for (const auto& objcSection : spec.objcSections) {
            out.name(objcSection.name.c_str());
            out.name("__OBJC");
            out.word(wide, kObjcOffset + objcSection.offset);
            out.word(wide, objcSection.size);
            out.u32(static_cast<std::uint32_t>(kObjcOffset + objcSection.offset));
            for (int field = 0; field < (wide ? 7 : 6); ++field) {
                out.u32(0);
            }
        }
    }
    if (spec.withSymtab) {
        commands_.push_back(image.size());
        out.u32(LC_SYMTAB);
        out.u32(sizeof(symtab_command));
        out.u32(kLinkeditOffset);
        out.u32(static_cast<std::uint32_t>(spec.symbols.size()));
        out.u32(static_cast<std::uint32_t>(kLinkeditOffset + stringsAt));
        out.u32(static_cast<std::uint32_t>(strings.size()));
    }
    if (spec.dynamicSymbols) {
        commands_.push_back(image.size());
        out.u32(LC_DYSYMTAB);
        out.u32(sizeof(dysymtab_command));
        auto [locals, globals] = *spec.dynamicSymbols;
        for (std::uint32_t value : {0u, locals, locals, globals, locals + globals, 0u}) {
            out.u32(value);
        }
        for (int field = 0; field < 12; ++field) {
            out.u32(0);
        }
    }
    image.resize(kLinkeditOffset);
    image.insert(image.end(), linkedit.begin(), linkedit.end());
    if (objc) {
        image.resize(kObjcOffset);
        image.insert(image.end(), spec.objcContents.begin(), spec.objcContents.end());
    }
    size_ = image.size();
    bytes_.resize((image.size() + 7) / 8);
    std::memcpy(bytes_.data(), image.data(), image.size());
}

std::vector<std::size_t> SyntheticImage::commandOffsets(std::uint32_t type) const {
    std::vector<std::size_t> offsets;
    for (std::size_t offset : commands_) {
        std::uint32_t command;
        std::memcpy(&command, reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset, 4);
        if ((spec_.swapped ? swapBytes(command) : command) == type) {
            offsets.push_back(offset);
        }
    }
    return offsets;
}

void SyntheticImage::put32(std::size_t offset, std::uint32_t value) {
    value = spec_.swapped ? swapBytes(value) : value;
    std::memcpy(bytes() + offset, &value, 4);
}
