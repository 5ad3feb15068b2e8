#include "platform/dyld/DyldImages.h"

#include "platform/dyld/ElfObjectView.h"
#include "platform/dyld/FollowedObjects.h"
#include "platform/dyld/LateObjectViews.h"
#include "platform/dyld/LoadedObjects.h"
#include "platform/dyld/MachOLoadCommands.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <utility>
#include <vector>

namespace platform::dyld {
namespace {

struct ImageRecord {
    const mach_header* header;
    std::intptr_t slide;
    std::string path;
    const std::uint8_t* contents;
    MachOLoadCommands commands;
};

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

std::span<const std::uint8_t> headerAndCommands(const void* contents) {
    mach_header header;
    std::memcpy(&header, contents, sizeof(header));
    std::size_t headerSize =
        header.magic == MH_MAGIC_64 ? sizeof(mach_header_64) : sizeof(mach_header);
    return {static_cast<const std::uint8_t*>(contents), headerSize + header.sizeofcmds};
}

bool segmentHolds(const MachOSegment& segment, std::intptr_t slide, std::uint64_t address) {
    if (segment.initprot == VM_PROT_NONE) {
        return false;
    }
    return address - (segment.vmaddr + static_cast<std::uint64_t>(slide)) < segment.vmsize;
}

// The C name of a symbol as callers know it: Mach-O prefixes C names with "_".
const char* withoutUnderscore(const char* name) {
    return name[0] == '_' ? name + 1 : name;
}

struct NearestSymbol {
    const char* name = nullptr;
    std::uint64_t address = 0;
};

template <typename Entry>
NearestSymbol nearestSymbol(const ImageRecord& image, std::uint64_t address) {
    NearestSymbol best;
    const MachOSegment* linkedit = image.commands.segment("__LINKEDIT");
    const auto& symtab = image.commands.symtab;
    if (linkedit == nullptr || !symtab || symtab->symoff < linkedit->fileoff ||
        symtab->stroff < linkedit->fileoff) {
        return best;
    }
    std::uint64_t base = linkedit->vmaddr + static_cast<std::uint64_t>(image.slide);
    std::uint64_t symbolsOffset = symtab->symoff - linkedit->fileoff;
    std::uint64_t stringsOffset = symtab->stroff - linkedit->fileoff;
    if (symbolsOffset + std::uint64_t{symtab->nsyms} * sizeof(Entry) > linkedit->vmsize ||
        stringsOffset + symtab->strsize > linkedit->vmsize) {
        return best;
    }
    auto* entries = reinterpret_cast<const Entry*>(base + symbolsOffset);
    auto* strings = reinterpret_cast<const char*>(base + stringsOffset);
    for (std::uint32_t index = 0; index < symtab->nsyms; ++index) {
        Entry entry;
        std::memcpy(&entry, &entries[index], sizeof(entry));
        if ((entry.n_type & N_STAB) != 0 || (entry.n_type & N_TYPE) != N_SECT ||
            entry.n_strx >= symtab->strsize) {
            continue;
        }
        std::uint64_t start = entry.n_value + static_cast<std::uint64_t>(image.slide);
        if (start > address || (best.name != nullptr && start <= best.address)) {
            continue;
        }
        const char* name = strings + entry.n_strx;
        if (memchr(name, '\0', symtab->strsize - entry.n_strx) == nullptr) {
            continue;
        }
        best = {name, start};
    }
    return best;
}

// Every operation is called with registryLock() held.
class Registry {
public:
    // The space a crash needs for objects opened after the last use is reserved with the
    // registry, before any crash.
    Registry() {
        reserveLateViews();
        catchUp();
    }

    // Follows the loader when its counts moved since the last look.
    void catchUp() {
        if (!followedOnce_ || loaderCounts() != followedCounts_) {
            follow();
        }
    }

    void addLocked(const mach_header* header, std::intptr_t slide, const std::string& path,
                   const void* contents) {
        auto commands = readLoadCommands(headerAndCommands(contents));
        images_.push_back(std::make_unique<ImageRecord>(
            ImageRecord{header, slide, path, static_cast<const std::uint8_t*>(contents),
                        commands ? std::move(*commands) : MachOLoadCommands{}}));
        for (auto callback : std::vector(addCallbacks_)) {
            callback(header, slide);
        }
    }

    void remove(const mach_header* header) {
        const ImageRecord* image = find(header);
        if (image == nullptr) {
            return;
        }
        std::intptr_t slide = image->slide;
        for (auto callback : std::vector(removeCallbacks_)) {
            callback(header, slide);
        }
        // Callbacks may have changed the list.
        std::erase_if(images_, [&](const auto& record) { return record->header == header; });
    }

    void registerAdd(dyld_image_callback callback) {
        addCallbacks_.push_back(callback);
        std::vector<std::pair<const mach_header*, std::intptr_t>> loaded;
        for (const auto& image : images_) {
            loaded.emplace_back(image->header, image->slide);
        }
        for (auto [header, slide] : loaded) {
            callback(header, slide);
        }
    }

    void registerRemove(dyld_image_callback callback) { removeCallbacks_.push_back(callback); }

    const ImageRecord* at(std::uint32_t index) const {
        return index < images_.size() ? images_[index].get() : nullptr;
    }
    std::uint32_t count() const { return static_cast<std::uint32_t>(images_.size()); }

    const ImageRecord* find(const mach_header* header) const {
        for (const auto& image : images_) {
            if (image->header == header) {
                return image.get();
            }
        }
        return nullptr;
    }

    const ImageRecord* holding(std::uint64_t address) const {
        for (const auto& image : images_) {
            for (const auto& segment : image->commands.segments) {
                if (segmentHolds(segment, image->slide, address)) {
                    return image.get();
                }
            }
        }
        return nullptr;
    }

private:
    // An object of the loader as last seen. A null view marks an object with nothing to show.
    struct Followed {
        std::uint64_t headerAddress;
        std::string name;
        std::unique_ptr<ElfObjectView> view;
        // Set while following, for an object the loader still lists.
        bool stillListed = false;
        // Whether the crash path's table holds it: only such an object is announced.
        bool recorded = false;
    };

    // Objects that went are removed first, then those that came are announced, each in the
    // loader's order. An object at the address of one that went, under another name, is a new
    // one. Views are built while the loader holds the objects, so none is unmapped under them.
    void follow() {
        std::vector<Followed> listed;
        std::vector<std::size_t> arrived;
        followedCounts_ = visitLoadedObjects([&](const LoadedObject& object) {
            auto known = std::find_if(followed_.begin(), followed_.end(), [&](const auto& seen) {
                return seen.recorded && !seen.stillListed &&
                       seen.headerAddress == object.headerAddress && seen.name == object.name;
            });
            if (known != followed_.end()) {
                known->stillListed = true;
                listed.push_back(
                    {object.headerAddress, object.name, std::move(known->view), false, true});
                return;
            }
            arrived.push_back(listed.size());
            // Recorded before its view exists: until the view is announced, a crash takes the
            // object neither for one newly opened nor for a listed one, and shows no second view
            // over its header.
            forgetFollowedObject(object.headerAddress);
            const bool recorded =
                recordFollowedObject({object.headerAddress, object.info.dlpi_addr});
            listed.push_back({object.headerAddress, object.name,
                              ElfObjectView::build(object.info, object.path(), object.name.empty()),
                              false, recorded});
        });
        followedOnce_ = true;
        std::vector<Followed> before = std::exchange(followed_, std::move(listed));
        for (auto& object : before) {
            if (object.stillListed || !object.recorded) {
                continue;
            }
            if (object.view) {
                remove(object.view->header());
            }
            if (std::none_of(followed_.begin(), followed_.end(), [&](const auto& current) {
                    return current.headerAddress == object.headerAddress;
                })) {
                forgetFollowedObject(object.headerAddress);
            }
        }
        for (std::size_t index : arrived) {
            Followed& object = followed_[index];
            // The table had no room while objects that went still held theirs; what the crash
            // path cannot tell from one opened since is never announced, since the crash would
            // list it a second time from the loader's list. It is tried again at the next look.
            if (!object.recorded) {
                object.recorded =
                    object.view &&
                    recordFollowedObject(
                        {object.headerAddress, static_cast<std::uint64_t>(object.view->slide())});
            }
            if (!object.recorded) {
                object.view.reset();
            } else if (object.view) {
                announce(*object.view);
            }
        }
    }

    void announce(const ElfObjectView& view) {
        addLocked(view.header(), view.slide(), view.path(), view.contents());
    }

    std::vector<std::unique_ptr<ImageRecord>> images_;
    std::vector<dyld_image_callback> addCallbacks_;
    std::vector<dyld_image_callback> removeCallbacks_;
    std::vector<Followed> followed_;
    LoaderCounts followedCounts_;
    bool followedOnce_ = false;
};

// Never destroyed, as objects may be closed during exit. Recursive: callbacks run while it is
// held, as the original loader runs them, and may call back in. A fork waits until no other
// thread uses the registry: a use may be inside the loader's walk of its objects, whose lock a
// child would find taken for ever (its next dlopen or thrown exception would wait on it), and
// the registry half-changed. The crash reporter's first use takes tens of milliseconds.
std::recursive_mutex& registryLock() {
    static auto* lock = [] {
        auto* created = new std::recursive_mutex();
        // The child's thread has another id than the parent's that took the lock, so the child
        // starts it anew rather than unlocking it.
        pthread_atfork([] { registryLock().lock(); }, [] { registryLock().unlock(); },
                       [] { std::construct_at(&registryLock()); });
        return created;
    }();
    return *lock;
}

Registry* builtRegistry = nullptr;
// Uses in progress on the thread that holds the lock.
int useDepth = 0;

// One use of the registry, built at first use: holds its lock and catches up with the loader
// first, unless the thread is already inside a use (a callback, or a visit of forEachImage,
// that calls back in): nothing the outer use holds may change under it.
class RegistryUse {
public:
    enum class Following { CatchUp, AsItStands };
    explicit RegistryUse(Following following = Following::CatchUp) : lock_(registryLock()) {
        if (builtRegistry == nullptr) {
            builtRegistry = new Registry();
        }
        if (depth_.outermost && following == Following::CatchUp) {
            builtRegistry->catchUp();
        }
    }
    RegistryUse(const RegistryUse&) = delete;
    RegistryUse& operator=(const RegistryUse&) = delete;

    Registry* operator->() const { return builtRegistry; }

private:
    // Counted before catching up, so the callbacks it runs are inside this use; uncounted even
    // when catching up throws.
    struct Depth {
        Depth() : outermost(useDepth++ == 0) {}
        ~Depth() { --useDepth; }
        bool outermost;
    };

    std::lock_guard<std::recursive_mutex> lock_;
    Depth depth_;
};

} // namespace

int dladdr(const void* address, DlInfo* info) {
    RegistryUse images;
    const ImageRecord* image = images->holding(addressOf(address));
    if (image == nullptr) {
        return 0;
    }
    info->dli_fname = image->path.c_str();
    info->dli_fbase = const_cast<mach_header*>(image->header);
    auto symbol = image->commands.is64Bit ? nearestSymbol<nlist_64>(*image, addressOf(address))
                                          : nearestSymbol<nlist>(*image, addressOf(address));
    info->dli_sname = symbol.name != nullptr ? withoutUnderscore(symbol.name) : nullptr;
    info->dli_saddr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(symbol.address));
    return 1;
}

std::optional<AddressInfo> describeAddress(const void* address) {
    // One use across, so the strings are copied before another thread can remove the image.
    RegistryUse use;
    DlInfo info{};
    if (dladdr(address, &info) == 0) {
        return std::nullopt;
    }
    return AddressInfo{info.dli_fname, static_cast<const mach_header*>(info.dli_fbase),
                       info.dli_sname != nullptr ? std::optional<std::string>(info.dli_sname)
                                                 : std::nullopt,
                       reinterpret_cast<std::uintptr_t>(info.dli_saddr)};
}

void addImage(const mach_header* header, std::intptr_t slide, const std::string& path,
              const void* contents) {
    RegistryUse images(RegistryUse::Following::AsItStands);
    images->addLocked(header, slide, path, contents);
}

void addImage(const mach_header* header, std::intptr_t slide, const std::string& path) {
    addImage(header, slide, path, header);
}

void removeImage(const mach_header* header) {
    RegistryUse images(RegistryUse::Following::AsItStands);
    images->remove(header);
}

void forEachImage(const std::function<void(const ImageEntry&)>& visit) {
    RegistryUse images;
    for (std::uint32_t index = 0; index < images->count(); ++index) {
        const ImageRecord* image = images->at(index);
        visit({image->header, image->slide, image->path, image->contents});
    }
}

const void* imageHeaderContents(const mach_header* header) {
    RegistryUse images(RegistryUse::Following::AsItStands);
    const ImageRecord* image = images->find(header);
    return image != nullptr ? static_cast<const void*>(image->contents) : header;
}

std::uint32_t _dyld_image_count() {
    RegistryUse images;
    return images->count();
}

const mach_header* _dyld_get_image_header(std::uint32_t image_index) {
    RegistryUse images;
    const auto* image = images->at(image_index);
    return image != nullptr ? image->header : nullptr;
}

std::intptr_t _dyld_get_image_vmaddr_slide(std::uint32_t image_index) {
    RegistryUse images;
    const auto* image = images->at(image_index);
    return image != nullptr ? image->slide : 0;
}

const char* _dyld_get_image_name(std::uint32_t image_index) {
    RegistryUse images;
    const auto* image = images->at(image_index);
    return image != nullptr ? image->path.c_str() : nullptr;
}

void _dyld_register_func_for_add_image(dyld_image_callback callback) {
    RegistryUse images;
    images->registerAdd(callback);
}

void _dyld_register_func_for_remove_image(dyld_image_callback callback) {
    RegistryUse images;
    images->registerRemove(callback);
}

} // namespace platform::dyld
