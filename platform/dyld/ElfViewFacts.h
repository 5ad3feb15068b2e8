// What an ELF object's program headers and notes say about its Mach-O view (MachOViewComposer.h):
// where its first byte, its code and its unwind search table lie, and its build-id. Reads only the
// bytes it is given: may run at crash time.
#pragma once

#include "platform/dyld/MachOViewComposer.h"

#include <cstddef>
#include <elf.h>
#include <link.h>

namespace platform::dyld {

// False for an object without code, or whose first loaded segment does not start the file (the
// ELF header, which the view's header is shown over, would not lie at its first byte).
inline bool factsFromProgramHeaders(const ElfW(Phdr) * headers, std::size_t count,
                                    ElfViewFacts* facts) {
    const ElfW(Phdr)* firstLoad = nullptr;
    std::uint64_t codeStart = ~std::uint64_t{0};
    std::uint64_t codeEnd = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const ElfW(Phdr)& segment = headers[index];
        if (segment.p_type != PT_LOAD) {
            continue;
        }
        if (firstLoad == nullptr || segment.p_vaddr < firstLoad->p_vaddr) {
            firstLoad = &segment;
        }
        if ((segment.p_flags & PF_X) != 0) {
            codeStart = segment.p_vaddr < codeStart ? segment.p_vaddr : codeStart;
            const std::uint64_t end = segment.p_vaddr + segment.p_memsz;
            codeEnd = end > codeEnd ? end : codeEnd;
        }
    }
    if (firstLoad == nullptr || firstLoad->p_offset != 0 || codeEnd == 0) {
        return false;
    }
    facts->textStart = firstLoad->p_vaddr;
    facts->codeStart = codeStart;
    facts->codeEnd = codeEnd;
    facts->headerRoom = firstLoad->p_filesz;
    for (std::size_t index = 0; index < count; ++index) {
        if (headers[index].p_type == PT_GNU_EH_FRAME) {
            facts->hasEhFrameHeader = true;
            facts->ehFrameHeaderAddress = headers[index].p_vaddr;
            facts->ehFrameHeaderSize = headers[index].p_memsz;
        }
    }
    return true;
}

// Takes the first 16 bytes of a GNU build-id note among the notes given.
inline void uuidFromNotes(const std::uint8_t* notes, std::size_t length, ElfViewFacts* facts) {
    std::size_t at = 0;
    while (at + sizeof(ElfW(Nhdr)) <= length) {
        ElfW(Nhdr) note;
        auto* bytes = reinterpret_cast<std::uint8_t*>(&note);
        for (std::size_t index = 0; index < sizeof(note); ++index) {
            bytes[index] = notes[at + index];
        }
        const std::size_t nameAt = at + sizeof(note);
        const std::size_t descAt = nameAt + ((std::size_t{note.n_namesz} + 3) & ~std::size_t{3});
        const std::size_t next = descAt + ((std::size_t{note.n_descsz} + 3) & ~std::size_t{3});
        if (next > length) {
            return;
        }
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && notes[nameAt] == 'G' &&
            notes[nameAt + 1] == 'N' && notes[nameAt + 2] == 'U' && notes[nameAt + 3] == 0) {
            const std::size_t copied = note.n_descsz < kUuidLength ? note.n_descsz : kUuidLength;
            for (std::size_t index = 0; index < copied; ++index) {
                facts->uuid[index] = notes[descAt + index];
            }
            facts->hasUuid = true;
            return;
        }
        at = next;
    }
}

} // namespace platform::dyld
