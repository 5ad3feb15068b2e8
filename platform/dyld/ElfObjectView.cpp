#include "platform/dyld/ElfObjectView.h"

#include "platform/dyld/ElfFile.h"
#include "platform/dyld/ElfViewFacts.h"
#include "platform/mach/MachVirtualMemory.h"
#include "platform/mach/MemoryOverlays.h"
#include "platform/mach/UnchangingMemory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <string_view>
#include <tuple>

namespace platform::dyld {
namespace {

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

struct FileSymbols {
    const std::vector<ElfFunctionSymbol>& functions;
    template <typename Visit> void visit(Visit&& visit) const {
        for (const auto& function : functions) {
            if (!visit(function.name.data(), function.name.size(), function.value,
                       function.global)) {
                return;
            }
        }
    }
};

// The segment's length up to the end of its last page, which the kernel maps with it: memory
// objects map whole pages, and a section at a segment's end would otherwise be copied at every
// mapping. Only where no other segment begins in that page.
std::uint64_t wholePagesOf(const dl_phdr_info& object, const ElfW(Phdr) & segment) {
    const std::uint64_t end = segment.p_vaddr + segment.p_memsz;
    const std::uint64_t pageEnd =
        (end + platform::mach::vm_page_mask) & ~std::uint64_t{platform::mach::vm_page_mask};
    for (int index = 0; index < object.dlpi_phnum; ++index) {
        const auto& other = object.dlpi_phdr[index];
        if (other.p_type == PT_LOAD && other.p_vaddr >= end && other.p_vaddr < pageEnd) {
            return segment.p_memsz;
        }
    }
    return pageEnd - segment.p_vaddr;
}

} // namespace

std::unique_ptr<ElfObjectView> ElfObjectView::build(const dl_phdr_info& object,
                                                    const std::string& path, bool mainProgram) {
    ElfViewFacts facts;
    if (!factsFromProgramHeaders(object.dlpi_phdr, object.dlpi_phnum, &facts)) {
        return nullptr;
    }
    const std::uint64_t headerAddress = object.dlpi_addr + facts.textStart;
    if (std::memcmp(reinterpret_cast<const void*>(headerAddress), ELFMAG, SELFMAG) != 0) {
        return nullptr;
    }
    facts.mainProgram = mainProgram;
    for (int index = 0; index < object.dlpi_phnum; ++index) {
        const auto& segment = object.dlpi_phdr[index];
        if (segment.p_type == PT_NOTE && !facts.hasUuid) {
            uuidFromNotes(reinterpret_cast<const std::uint8_t*>(object.dlpi_addr + segment.p_vaddr),
                          segment.p_memsz, &facts);
        }
    }
    ElfFileContents file;
    if (path.starts_with('/')) {
        file = readElfFile(path).value_or(ElfFileContents{});
    }
    if (file.ehFrame) {
        facts.hasEhFrame = true;
        facts.ehFrameAddress = file.ehFrame->address;
        facts.ehFrameSize = file.ehFrame->size;
    }
    sortForLookup(file.functions);
    const FileSymbols symbols{file.functions};
    const ViewLayout layout = layoutView(facts, symbols, SIZE_MAX);
    if (layout.commandsEnd == 0) {
        return nullptr;
    }

    std::unique_ptr<ElfObjectView> view(new ElfObjectView());
    view->headerAddress_ = headerAddress;
    view->slide_ = static_cast<std::intptr_t>(object.dlpi_addr);
    view->path_ = path;
    view->storage_ = std::make_unique<SealedPages>(layout.size);
    std::uint8_t* storage = view->storage_->data();
    if (storage == nullptr) {
        return nullptr;
    }
    writeView(facts, symbols, layout, storage, object.dlpi_addr);
    view->storage_->seal();
    view->overlaid_ = platform::mach::addMemoryOverlay(headerAddress, storage, layout.commandsEnd);
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
            add(object.dlpi_addr + segment.p_vaddr, wholePagesOf(object, segment));
        }
    }
}

ElfObjectView::~ElfObjectView() {
    for (std::uint64_t address : unchanging_) {
        platform::mach::removeUnchangingMemory(address);
    }
    if (overlaid_) {
        platform::mach::removeMemoryOverlay(headerAddress_, storage_->data());
    }
}

const mach_header* ElfObjectView::header() const {
    return reinterpret_cast<const mach_header*>(headerAddress_);
}

} // namespace platform::dyld
