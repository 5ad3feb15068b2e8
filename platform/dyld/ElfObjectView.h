// A Mach-O view of one ELF object of the process, so the crash reporter's Mach-O reader,
// symbolication and DWARF unwinder work on the real process: a 64-bit header with the host CPU
// type; __TEXT from the object's first byte to the end of its code, with a __text section over
// the code and an __eh_frame section at the real .eh_frame; LC_UUID from the first 16 bytes of
// the GNU build-id; LC_SYMTAB and LC_DYSYMTAB over the object's function symbols (.symtab, else
// .dynsym), named as Mach-O names C functions, with a leading "_". Addresses inside the view are
// the object's link-time addresses and the slide is its load bias, so slid values are real
// addresses. The header's address is the object's base: the view's bytes are shown there to the
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
    // header. path names the file the symbols come from ("" reads none).
    static std::unique_ptr<ElfObjectView> build(const dl_phdr_info& object,
                                                const std::string& path);
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
