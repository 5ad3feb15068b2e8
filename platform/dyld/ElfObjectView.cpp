#include "platform/dyld/ElfObjectView.h"

#include "platform/dyld/ElfFile.h"
#include "platform/mach/MemoryOverlays.h"
#include "platform/mach/UnchangingMemory.h"

#include <algorithm>
#include <cstring>
#include <elf.h>
#include <optional>
#include <string_view>
#include <tuple>

namespace platform::dyld {
namespace {

#if defined(__aarch64__)
constexpr cpu_type_t kHostCpuType = CPU_TYPE_ARM64;
constexpr cpu_subtype_t kHostCpuSubtype = CPU_SUBTYPE_ARM64_ALL;
#elif defined(__x86_64__)
constexpr cpu_type_t kHostCpuType = CPU_TYPE_X86_64;
constexpr cpu_subtype_t kHostCpuSubtype = CPU_SUBTYPE_X86_64_ALL;
#else
#error "no Mach-O CPU type for this machine"
#endif

constexpr std::size_t kUuidLength = 16;

struct ObjectLayout {
    const ElfW(Phdr) * firstLoad = nullptr;
    std::uint64_t codeStart = UINT64_MAX;
    std::uint64_t codeEnd = 0;
};

ObjectLayout layoutOf(const dl_phdr_info& object) {
    ObjectLayout layout;
    for (int index = 0; index < object.dlpi_phnum; ++index) {
        const auto& segment = object.dlpi_phdr[index];
        if (segment.p_type != PT_LOAD) {
            continue;
        }
        if (layout.firstLoad == nullptr || segment.p_vaddr < layout.firstLoad->p_vaddr) {
            layout.firstLoad = &segment;
        }
        if ((segment.p_flags & PF_X) != 0) {
            layout.codeStart = std::min<std::uint64_t>(layout.codeStart, segment.p_vaddr);
            layout.codeEnd =
                std::max<std::uint64_t>(layout.codeEnd, segment.p_vaddr + segment.p_memsz);
        }
    }
    return layout;
}

std::optional<std::vector<std::uint8_t>> buildId(const dl_phdr_info& object) {
    for (int index = 0; index < object.dlpi_phnum; ++index) {
        const auto& segment = object.dlpi_phdr[index];
        if (segment.p_type != PT_NOTE) {
            continue;
        }
        auto* notes = reinterpret_cast<const std::uint8_t*>(object.dlpi_addr + segment.p_vaddr);
        std::size_t at = 0;
        while (at + sizeof(ElfW(Nhdr)) <= segment.p_memsz) {
            ElfW(Nhdr) note;
            std::memcpy(&note, notes + at, sizeof(note));
            std::size_t nameAt = at + sizeof(note);
            std::size_t descAt = nameAt + ((note.n_namesz + 3) & ~std::size_t{3});
            std::size_t next = descAt + ((note.n_descsz + 3) & ~std::size_t{3});
            if (next > segment.p_memsz) {
                break;
            }
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(notes + nameAt, "GNU", 4) == 0) {
                return std::vector<std::uint8_t>(notes + descAt, notes + descAt + note.n_descsz);
            }
            at = next;
        }
    }
    return std::nullopt;
}

// Mach-O lists locals first, then the defined externals; within each, lower addresses first
// and, at one address, the plainest name first, since a lookup keeps the first of equals.
void sortForLookup(std::vector<ElfFunctionSymbol>& functions) {
    auto rank = [](const ElfFunctionSymbol& symbol) {
        return std::make_tuple(symbol.global, symbol.value, symbol.name.starts_with('_'),
                               symbol.name.size(), std::string_view(symbol.name));
    };
    std::sort(functions.begin(), functions.end(),
              [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    functions.erase(std::unique(functions.begin(), functions.end(),
                                [](const auto& a, const auto& b) {
                                    return a.global == b.global && a.value == b.value &&
                                           a.name == b.name;
                                }),
                    functions.end());
}

class ByteWriter {
public:
    template <typename T> std::size_t append(const T& value) {
        std::size_t at = bytes.size();
        bytes.resize(at + sizeof(T));
        std::memcpy(bytes.data() + at, &value, sizeof(T));
        return at;
    }
    void alignTo(std::size_t alignment) {
        bytes.resize((bytes.size() + alignment - 1) / alignment * alignment);
    }
    std::vector<std::uint8_t> bytes;
};

template <std::size_t N> void copyName(char (&field)[N], const char* name) {
    std::memset(field, 0, N);
    std::memcpy(field, name, std::min(N, std::strlen(name)));
}

segment_command_64 segmentCommand(const char* name, std::uint64_t vmaddr, std::uint64_t vmsize,
                                  std::uint64_t fileoff, vm_prot_t protection,
                                  std::uint32_t nsects) {
    segment_command_64 command{};
    command.cmd = LC_SEGMENT_64;
    command.cmdsize = static_cast<std::uint32_t>(sizeof(command) + nsects * sizeof(section_64));
    copyName(command.segname, name);
    command.vmaddr = vmaddr;
    command.vmsize = vmsize;
    command.fileoff = fileoff;
    command.filesize = vmsize;
    command.maxprot = protection;
    command.initprot = protection;
    command.nsects = nsects;
    return command;
}

section_64 textSection(const char* name, std::uint64_t address, std::uint64_t size,
                       std::uint64_t textStart, std::uint32_t flags) {
    section_64 record{};
    copyName(record.sectname, name);
    copyName(record.segname, "__TEXT");
    record.addr = address;
    record.size = size;
    record.offset = static_cast<std::uint32_t>(address - textStart);
    record.flags = flags;
    return record;
}

} // namespace

std::unique_ptr<ElfObjectView> ElfObjectView::build(const dl_phdr_info& object,
                                                    const std::string& path) {
    ObjectLayout layout = layoutOf(object);
    if (layout.firstLoad == nullptr || layout.firstLoad->p_offset != 0 || layout.codeEnd == 0) {
        return nullptr;
    }
    const std::uint64_t textStart = layout.firstLoad->p_vaddr;
    const std::uint64_t headerAddress = object.dlpi_addr + textStart;
    if (std::memcmp(reinterpret_cast<const void*>(headerAddress), ELFMAG, SELFMAG) != 0) {
        return nullptr;
    }
    ElfFileContents file;
    if (path.starts_with('/')) {
        file = readElfFile(path).value_or(ElfFileContents{});
    }
    sortForLookup(file.functions);
    auto uuid = buildId(object);
    auto locals = static_cast<std::uint32_t>(
        std::count_if(file.functions.begin(), file.functions.end(),
                      [](const auto& symbol) { return !symbol.global; }));
    auto symbolCount = static_cast<std::uint32_t>(file.functions.size());

    ByteWriter writer;
    mach_header_64 header{};
    header.magic = MH_MAGIC_64;
    header.cputype = kHostCpuType;
    header.cpusubtype = kHostCpuSubtype;
    header.filetype = object.dlpi_name[0] == '\0' ? MH_EXECUTE : MH_DYLIB;
    const std::size_t headerAt = writer.append(header);

    const std::uint32_t textSections = file.ehFrame ? 2 : 1;
    writer.append(segmentCommand("__TEXT", textStart, layout.codeEnd - textStart, 0,
                                 VM_PROT_READ_EXECUTE, textSections));
    writer.append(textSection("__text", layout.codeStart, layout.codeEnd - layout.codeStart,
                              textStart, S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS));
    if (file.ehFrame) {
        writer.append(
            textSection("__eh_frame", file.ehFrame->address, file.ehFrame->size, textStart, 0));
    }
    const std::size_t linkeditAt =
        writer.append(segmentCommand("__LINKEDIT", 0, 0, 0, VM_PROT_READ, 0));
    symtab_command symtab{LC_SYMTAB, sizeof(symtab_command), 0, symbolCount, 0, 0};
    const std::size_t symtabAt = writer.append(symtab);
    dysymtab_command dysymtab{};
    dysymtab.cmd = LC_DYSYMTAB;
    dysymtab.cmdsize = sizeof(dysymtab);
    dysymtab.nlocalsym = locals;
    dysymtab.iextdefsym = locals;
    dysymtab.nextdefsym = symbolCount - locals;
    dysymtab.iundefsym = symbolCount;
    writer.append(dysymtab);
    if (uuid) {
        uuid_command command{LC_UUID, sizeof(uuid_command), {}};
        std::memcpy(command.uuid, uuid->data(), std::min(kUuidLength, uuid->size()));
        writer.append(command);
    }
    const std::size_t commandsEnd = writer.bytes.size();
    if (commandsEnd > layout.firstLoad->p_filesz) {
        return nullptr;
    }

    writer.alignTo(sizeof(std::uint64_t));
    const std::size_t symbolsAt = writer.bytes.size();
    std::vector<std::uint8_t> strings{0};
    for (const auto& function : file.functions) {
        nlist_64 entry{};
        entry.n_strx = static_cast<std::uint32_t>(strings.size());
        entry.n_type = static_cast<std::uint8_t>(N_SECT | (function.global ? N_EXT : 0));
        entry.n_sect = 1;
        entry.n_value = function.value;
        writer.append(entry);
        strings.push_back('_');
        strings.insert(strings.end(), function.name.begin(), function.name.end());
        strings.push_back(0);
    }
    const std::size_t stringsAt = writer.bytes.size();
    writer.bytes.insert(writer.bytes.end(), strings.begin(), strings.end());

    auto* patchedHeader = reinterpret_cast<mach_header_64*>(writer.bytes.data() + headerAt);
    patchedHeader->sizeofcmds = static_cast<std::uint32_t>(commandsEnd - sizeof(mach_header_64));
    patchedHeader->ncmds = 4 + (uuid ? 1 : 0);
    auto* patchedSymtab = reinterpret_cast<symtab_command*>(writer.bytes.data() + symtabAt);
    patchedSymtab->symoff = static_cast<std::uint32_t>(symbolsAt);
    patchedSymtab->stroff = static_cast<std::uint32_t>(stringsAt);
    patchedSymtab->strsize = static_cast<std::uint32_t>(strings.size());

    std::unique_ptr<ElfObjectView> view(new ElfObjectView());
    view->headerAddress_ = headerAddress;
    view->slide_ = static_cast<std::intptr_t>(object.dlpi_addr);
    view->path_ = path;
    view->storage_ = std::make_unique<SealedPages>(writer.bytes.size());
    std::uint8_t* storage = view->storage_->data();
    if (storage == nullptr) {
        return nullptr;
    }
    std::memcpy(storage, writer.bytes.data(), writer.bytes.size());
    // __LINKEDIT is where its bytes now live, in the view's own link-time addresses.
    auto* linkedit = reinterpret_cast<segment_command_64*>(storage + linkeditAt);
    linkedit->vmaddr = reinterpret_cast<std::uintptr_t>(storage) + symbolsAt -
                       static_cast<std::uint64_t>(view->slide_);
    linkedit->vmsize = writer.bytes.size() - symbolsAt;
    linkedit->fileoff = symbolsAt;
    linkedit->filesize = linkedit->vmsize;
    view->storage_->seal();
    view->overlaid_ = platform::mach::addMemoryOverlay(headerAddress, storage, commandsEnd);
    if (!view->overlaid_) {
        return nullptr;
    }
    view->registerUnchangingMemory(object);
    return view;
}

void ElfObjectView::registerUnchangingMemory(const dl_phdr_info& object) {
    auto add = [this](std::uint64_t address, std::uint64_t length) {
        if (platform::mach::addUnchangingMemory(address, length)) {
            unchanging_.push_back(address);
        }
    };
    add(reinterpret_cast<std::uintptr_t>(storage_->data()), storage_->size());
    for (int index = 0; index < object.dlpi_phnum; ++index) {
        const auto& segment = object.dlpi_phdr[index];
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_W) == 0) {
            add(object.dlpi_addr + segment.p_vaddr, segment.p_memsz);
        }
    }
}

ElfObjectView::~ElfObjectView() {
    for (std::uint64_t address : unchanging_) {
        platform::mach::removeUnchangingMemory(address);
    }
    if (overlaid_) {
        platform::mach::removeMemoryOverlay(headerAddress_);
    }
}

const mach_header* ElfObjectView::header() const {
    return reinterpret_cast<const mach_header*>(headerAddress_);
}

} // namespace platform::dyld
