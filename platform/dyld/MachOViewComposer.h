// The bytes of a Mach-O view of one ELF object: a 64-bit header with the host CPU type; __TEXT
// from the object's first byte to the end of its code, with a __text section over the code and,
// where the object has one, an __eh_frame section at its real .eh_frame and, beside it, an
// __eh_frame_hdr section at its search table (PT_GNU_EH_FRAME); __LINKEDIT holding the
// function symbols, named as Mach-O names C functions (with a leading "_"), locals first;
// LC_SYMTAB and LC_DYSYMTAB over them; LC_UUID from the first 16 bytes of the GNU build-id.
// Addresses are the object's link-time addresses, so adding its load bias gives real ones.
// Writes caller storage only, with byte loops: may run at crash time.
//
// A symbol source has visit(f), which calls f(name, length, value, global) for each function,
// locals first, until f returns false.
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstddef>
#include <cstdint>

namespace platform::dyld {

#if defined(__aarch64__)
inline constexpr cpu_type_t kHostCpuType = CPU_TYPE_ARM64;
inline constexpr cpu_subtype_t kHostCpuSubtype = CPU_SUBTYPE_ARM64_ALL;
#elif defined(__x86_64__)
inline constexpr cpu_type_t kHostCpuType = CPU_TYPE_X86_64;
inline constexpr cpu_subtype_t kHostCpuSubtype = CPU_SUBTYPE_X86_64_ALL;
#else
#error "no Mach-O CPU type for this machine"
#endif

inline constexpr std::size_t kUuidLength = 16;

struct ElfViewFacts {
    // Link-time address of the object's first byte (its first loaded segment).
    std::uint64_t textStart = 0;
    std::uint64_t codeStart = 0;
    std::uint64_t codeEnd = 0;
    // File bytes of the first segment: the header and load commands are shown over them.
    std::uint64_t headerRoom = 0;
    bool mainProgram = false;
    bool hasUuid = false;
    std::uint8_t uuid[kUuidLength] = {};
    bool hasEhFrame = false;
    std::uint64_t ehFrameAddress = 0;
    std::uint64_t ehFrameSize = 0;
    // The .eh_frame_hdr that indexes .eh_frame; shown only beside an __eh_frame.
    bool hasEhFrameHeader = false;
    std::uint64_t ehFrameHeaderAddress = 0;
    std::uint64_t ehFrameHeaderSize = 0;
};

struct ViewLayout {
    // 0 when the view cannot be made: no code, or no room for the commands.
    std::size_t commandsEnd = 0;
    std::size_t symbolsAt = 0;
    std::size_t stringsAt = 0;
    std::size_t size = 0;
    std::uint32_t symbolCount = 0;
    std::uint32_t localCount = 0;
};

namespace composer {

inline std::uint32_t textSectionCount(const ElfViewFacts& facts) {
    return 1 + (facts.hasEhFrame ? 1 : 0) + (facts.hasEhFrame && facts.hasEhFrameHeader ? 1 : 0);
}

inline std::size_t commandsSize(const ElfViewFacts& facts) {
    return sizeof(mach_header_64) + sizeof(segment_command_64) +
           sizeof(section_64) * textSectionCount(facts) + sizeof(segment_command_64) +
           sizeof(symtab_command) + sizeof(dysymtab_command) +
           (facts.hasUuid ? sizeof(uuid_command) : 0);
}

class Cursor {
public:
    explicit Cursor(std::uint8_t* storage) : storage_(storage) {}
    template <typename T> void put(const T& value) {
        bytes(reinterpret_cast<const std::uint8_t*>(&value), sizeof(T));
    }
    void bytes(const std::uint8_t* source, std::size_t length) {
        for (std::size_t index = 0; index < length; ++index) {
            storage_[at_ + index] = source[index];
        }
        at_ += length;
    }
    void byte(std::uint8_t value) { storage_[at_++] = value; }
    std::size_t at() const { return at_; }
    void skipTo(std::size_t at) {
        while (at_ < at) {
            byte(0);
        }
    }

private:
    std::uint8_t* storage_;
    std::size_t at_ = 0;
};

template <std::size_t N> void setName(char (&field)[N], const char* name) {
    std::size_t index = 0;
    for (; index < N && name[index] != '\0'; ++index) {
        field[index] = name[index];
    }
    for (; index < N; ++index) {
        field[index] = '\0';
    }
}

inline segment_command_64 segment(const char* name, std::uint64_t vmaddr, std::uint64_t vmsize,
                                  std::uint64_t fileoff, vm_prot_t protection,
                                  std::uint32_t nsects) {
    segment_command_64 command{};
    command.cmd = LC_SEGMENT_64;
    command.cmdsize = static_cast<std::uint32_t>(sizeof(command) + nsects * sizeof(section_64));
    setName(command.segname, name);
    command.vmaddr = vmaddr;
    command.vmsize = vmsize;
    command.fileoff = fileoff;
    command.filesize = vmsize;
    command.maxprot = protection;
    command.initprot = protection;
    command.nsects = nsects;
    return command;
}

inline section_64 textSection(const char* name, std::uint64_t address, std::uint64_t size,
                              std::uint64_t textStart, std::uint32_t flags) {
    section_64 record{};
    setName(record.sectname, name);
    setName(record.segname, "__TEXT");
    record.addr = address;
    record.size = size;
    record.offset = static_cast<std::uint32_t>(address - textStart);
    record.flags = flags;
    return record;
}

} // namespace composer

template <typename Symbols>
ViewLayout layoutView(const ElfViewFacts& facts, const Symbols& symbols, std::size_t capacity) {
    ViewLayout layout;
    const std::size_t commandsEnd = composer::commandsSize(facts);
    if (facts.codeEnd == 0 || commandsEnd > facts.headerRoom || commandsEnd > capacity) {
        return layout;
    }
    layout.commandsEnd = commandsEnd;
    layout.symbolsAt = (commandsEnd + 7) / 8 * 8;
    // The string table starts with an empty name.
    std::size_t symbolBytes = 0;
    std::size_t stringBytes = 1;
    symbols.visit([&](const char*, std::size_t length, std::uint64_t, bool global) {
        const std::size_t nameBytes = length + 2;
        if (layout.symbolsAt + symbolBytes + sizeof(nlist_64) + stringBytes + nameBytes >
            capacity) {
            return false;
        }
        symbolBytes += sizeof(nlist_64);
        stringBytes += nameBytes;
        ++layout.symbolCount;
        layout.localCount += global ? 0 : 1;
        return true;
    });
    layout.stringsAt = layout.symbolsAt + symbolBytes;
    layout.size = layout.stringsAt + stringBytes;
    return layout;
}

template <typename Symbols>
void writeView(const ElfViewFacts& facts, const Symbols& symbols, const ViewLayout& layout,
               std::uint8_t* storage, std::uint64_t bias) {
    using namespace composer;
    Cursor out(storage);
    mach_header_64 header{};
    header.magic = MH_MAGIC_64;
    header.cputype = kHostCpuType;
    header.cpusubtype = kHostCpuSubtype;
    header.filetype = facts.mainProgram ? MH_EXECUTE : MH_DYLIB;
    header.ncmds = 4 + (facts.hasUuid ? 1 : 0);
    header.sizeofcmds = static_cast<std::uint32_t>(layout.commandsEnd - sizeof(mach_header_64));
    out.put(header);

    out.put(segment("__TEXT", facts.textStart, facts.codeEnd - facts.textStart, 0,
                    VM_PROT_READ_EXECUTE, textSectionCount(facts)));
    out.put(textSection("__text", facts.codeStart, facts.codeEnd - facts.codeStart, facts.textStart,
                        S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS));
    if (facts.hasEhFrame) {
        out.put(
            textSection("__eh_frame", facts.ehFrameAddress, facts.ehFrameSize, facts.textStart, 0));
        if (facts.hasEhFrameHeader) {
            out.put(textSection("__eh_frame_hdr", facts.ehFrameHeaderAddress,
                                facts.ehFrameHeaderSize, facts.textStart, 0));
        }
    }
    // __LINKEDIT is where its bytes lie in storage, in the view's own link-time addresses.
    const std::uint64_t linkedit = reinterpret_cast<std::uintptr_t>(storage) + layout.symbolsAt;
    out.put(segment("__LINKEDIT", linkedit - bias, layout.size - layout.symbolsAt, layout.symbolsAt,
                    VM_PROT_READ, 0));
    out.put(symtab_command{LC_SYMTAB, sizeof(symtab_command),
                           static_cast<std::uint32_t>(layout.symbolsAt), layout.symbolCount,
                           static_cast<std::uint32_t>(layout.stringsAt),
                           static_cast<std::uint32_t>(layout.size - layout.stringsAt)});
    dysymtab_command dysymtab{};
    dysymtab.cmd = LC_DYSYMTAB;
    dysymtab.cmdsize = sizeof(dysymtab);
    dysymtab.nlocalsym = layout.localCount;
    dysymtab.iextdefsym = layout.localCount;
    dysymtab.nextdefsym = layout.symbolCount - layout.localCount;
    dysymtab.iundefsym = layout.symbolCount;
    out.put(dysymtab);
    if (facts.hasUuid) {
        uuid_command command{LC_UUID, sizeof(uuid_command), {}};
        for (std::size_t index = 0; index < kUuidLength; ++index) {
            command.uuid[index] = facts.uuid[index];
        }
        out.put(command);
    }
    out.skipTo(layout.symbolsAt);

    Cursor names(storage + layout.stringsAt);
    names.byte(0);
    std::uint32_t written = 0;
    symbols.visit([&](const char* name, std::size_t length, std::uint64_t value, bool global) {
        if (written == layout.symbolCount) {
            return false;
        }
        nlist_64 entry{};
        entry.n_strx = static_cast<std::uint32_t>(names.at());
        entry.n_type = static_cast<std::uint8_t>(N_SECT | (global ? N_EXT : 0));
        entry.n_sect = 1;
        entry.n_value = value;
        out.put(entry);
        names.byte('_');
        names.bytes(reinterpret_cast<const std::uint8_t*>(name), length);
        names.byte(0);
        ++written;
        return true;
    });
}

} // namespace platform::dyld
