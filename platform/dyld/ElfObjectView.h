// A Mach-O view of one ELF object of the process (MachOViewComposer.h), so the crash reporter's
// Mach-O reader, symbolication and DWARF unwinder work on the real process, with the function
// symbols of the object's file (.symtab, else .dynsym) and the .eh_frame its section headers
// name. The header's address is the object's base: the view's bytes are shown there to the
// Mach memory calls (MemoryOverlays.h) for as long as the view lives. The object's read-only
// segments and the view's own bytes are registered as unchanging memory (UnchangingMemory.h)
// for that long too, so crash-time readers map them in place. Normal context only.
#pragma once

#include "platform/dyld/MachOFormat.h"
#include "platform/dyld/SealedPages.h"

#include <cstdint>
#include <link.h>
#include <memory>
#include <string>
#include <vector>

namespace platform::dyld {

class ElfObjectView {
public:
    // nullptr for objects without code or whose first segment does not start with the ELF
    // header. path names the file the symbols come from ("" reads none); the name in object is
    // not read.
    static std::unique_ptr<ElfObjectView> build(const dl_phdr_info& object, const std::string& path,
                                                bool mainProgram);
    ~ElfObjectView();
    ElfObjectView(const ElfObjectView&) = delete;
    ElfObjectView& operator=(const ElfObjectView&) = delete;

    const mach_header* header() const;
    std::intptr_t slide() const { return slide_; }
    const std::string& path() const { return path_; }
    // The header and load commands, readable directly.
    const void* contents() const { return storage_->data(); }

private:
    ElfObjectView() = default;
    void registerUnchangingMemory(const dl_phdr_info& object);

    std::uint64_t headerAddress_ = 0;
    std::intptr_t slide_ = 0;
    std::string path_;
    // Header, load commands, then the __LINKEDIT contents (symbols and their names).
    std::unique_ptr<SealedPages> storage_;
    bool overlaid_ = false;
    // Addresses by which the unchanging ranges were registered.
    std::vector<std::uint64_t> unchanging_;
};

} // namespace platform::dyld
