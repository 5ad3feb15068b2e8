// The dynamic loader's image registry: which Mach-O images are loaded, where, under which
// path, and callbacks for images added and removed. The process's own ELF objects are announced
// as synthesised Mach-O views (ElfObjectView.h). The registry follows the loader from its own
// records without changing what the process does: every use below (the accessors, dladdr,
// describeAddress, forEachImage and registering a callback) first compares the loader's counts
// of mapped and unmapped objects with those it last followed, and only when they moved lists
// the objects again, removes those that went and announces those that came, in the loader's
// order. A library opened since the last use is known at crash time through the loader's link
// map (LoaderAtCrash.h). Tests add real Mach-O images mapped into memory (MachOImageMapping.h).
// Normal context only: every operation takes the registry's lock, and callbacks run while it is
// held, as the original loader runs them. A fork waits until no other thread uses the registry,
// so a forked child finds it whole and free.
#pragma once

#include "platform/dyld/MachOFormat.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform::dyld {

typedef void (*dyld_image_callback)(const mach_header* header, std::intptr_t vmaddr_slide);

std::uint32_t _dyld_image_count();
// Null for an index at or beyond the count.
const mach_header* _dyld_get_image_header(std::uint32_t image_index);
std::intptr_t _dyld_get_image_vmaddr_slide(std::uint32_t image_index);
const char* _dyld_get_image_name(std::uint32_t image_index);
// The add callback is called at once for every image already loaded, then for each one added.
void _dyld_register_func_for_add_image(dyld_image_callback callback);
void _dyld_register_func_for_remove_image(dyld_image_callback callback);

} // namespace platform::dyld

namespace platform::dyld {

struct DlInfo {
    // Path of the image holding the address.
    const char* dli_fname;
    // Its header address.
    void* dli_fbase;
    // Nearest symbol at or below the address, without the leading "_" of C names; null when
    // the image has none there.
    const char* dli_sname;
    void* dli_saddr;
};

// Non-zero when a registered image's segment holds the address. The strings stay valid until
// the image is removed.
int dladdr(const void* address, DlInfo* info);

// dladdr's answer with its strings copied while the registry's lock is held, so it stays valid
// when the image is removed on another thread meanwhile. None when no image holds the address.
struct AddressInfo {
    std::string path;
    const mach_header* header;
    std::optional<std::string> symbol;
    std::uint64_t symbolAddress;
};
std::optional<AddressInfo> describeAddress(const void* address);

// What loading and unloading an image does: the callbacks learn of it. The header and load
// commands must stay readable at contents until the image is removed; contents is the header
// itself for an image mapped whole.
void addImage(const mach_header* header, std::intptr_t slide, const std::string& path,
              const void* contents);
void addImage(const mach_header* header, std::intptr_t slide, const std::string& path);
void removeImage(const mach_header* header);

// One registered image as forEachImage shows it.
struct ImageEntry {
    const mach_header* header;
    std::intptr_t slide;
    const std::string& path;
    // Where the header and load commands can be read directly (imageHeaderContents).
    const void* contents;
};

// Visits the registered images in order, with the registry's lock held, so what an image shows
// stays valid while it is visited even if another thread removes it meanwhile.
void forEachImage(const std::function<void(const ImageEntry&)>& visit);

// Where the header and load commands of a registered image can be read directly. For an ELF
// view the header address is the object's base, where only the Mach memory calls show the
// view; code that dereferences headers reads them here. The header itself for unknown images.
const void* imageHeaderContents(const mach_header* header);

} // namespace platform::dyld
