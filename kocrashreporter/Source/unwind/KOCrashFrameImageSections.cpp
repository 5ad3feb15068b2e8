// May run at crash time: everything in this file (section mappings into static storage, atomic
// loads and exchanges).
#include "unwind/KOCrashFrameImageSections.h"

#include "unwind/KOCrashFrameWalker.h"

#include <atomic>
#include <cstddef>

namespace {

// More images than this on one stack are mapped for each step, as without a cache.
constexpr std::size_t kCachedImages = 32;

// An image whose sections could not be mapped is remembered too, so it is not tried again.
struct cache_slot {
    bool mapped;
    koframe_image_sections sections;
};

struct section_cache {
    std::atomic<const void*> owner{nullptr};
    std::size_t used = 0;
    // The report the slots were mapped in (0: a walk outside any report), and its image list.
    const kocrash_async_image_list* list = nullptr;
    std::uint64_t report = 0;
    cache_slot slots[kCachedImages];
};

section_cache cache;

// The report under way on the list: its comparison with the loader, while it lasts.
std::uint64_t reportOf(const kocrash_async_image_list* list) {
    return list != nullptr && list->comparing.load() ? list->comparisons.load() : 0;
}

void unmapAll() {
    for (std::size_t index = 0; index < cache.used; ++index) {
        if (cache.slots[index].mapped) {
            koframe_image_sections_unmap(&cache.slots[index].sections);
        }
    }
    cache.used = 0;
}

} // namespace

std::uint32_t koframe_image_sections_map(const kocrash_async_macho* image,
                                         koframe_image_sections* sections) {
    sections->header_address = image->header_address;
    sections->debug_frame = false;
    sections->has_index = false;
    kocrash::async::kocrash_async_dwarf_cie_memos_init(&sections->cie_memos);
    if (kocrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &sections->frame_section) ==
        KOCRASH_ESUCCESS) {
        sections->has_index = kocrash_async_macho_map_section(image, "__TEXT", "__eh_frame_hdr",
                                                              &sections->index) == KOCRASH_ESUCCESS;
        return KOFRAME_ESUCCESS;
    }
    if (kocrash_async_macho_map_section(image, "__DWARF", "__debug_frame",
                                        &sections->frame_section) == KOCRASH_ESUCCESS) {
        sections->debug_frame = true;
        return KOFRAME_ESUCCESS;
    }
    return KOFRAME_ENOFRAME;
}

void koframe_image_sections_unmap(koframe_image_sections* sections) {
    if (sections->has_index) {
        kocrash_async_mobject_free(&sections->index);
    }
    kocrash_async_mobject_free(&sections->frame_section);
}

bool koframe_section_cache_claim(const void* owner, kocrash_async_image_list* image_list) {
    const void* expected = nullptr;
    if (!cache.owner.compare_exchange_strong(expected, owner, std::memory_order_acquire)) {
        // A walk in the same storage that ended without releasing left only its own mappings.
        if (expected != owner) {
            return false;
        }
        koframe_section_cache_release(owner);
        expected = nullptr;
        if (!cache.owner.compare_exchange_strong(expected, owner, std::memory_order_acquire)) {
            return false;
        }
    }
    const std::uint64_t report = reportOf(image_list);
    if (report == 0 || cache.list != image_list || cache.report != report) {
        unmapAll();
        cache.list = image_list;
        cache.report = report;
    }
    return true;
}

void koframe_section_cache_release(const void* owner) {
    if (cache.owner.load(std::memory_order_acquire) != owner) {
        return;
    }
    if (cache.report == 0 || reportOf(cache.list) != cache.report) {
        unmapAll();
        cache.report = 0;
    }
    cache.owner.store(nullptr, std::memory_order_release);
}

bool koframe_section_cache_find(const void* owner, const kocrash_async_macho* image,
                                koframe_image_sections** sections) {
    if (owner == nullptr || cache.owner.load(std::memory_order_acquire) != owner) {
        return false;
    }
    for (std::size_t index = 0; index < cache.used; ++index) {
        cache_slot& slot = cache.slots[index];
        if (slot.sections.header_address == image->header_address) {
            *sections = slot.mapped ? &slot.sections : nullptr;
            return true;
        }
    }
    if (cache.used == kCachedImages) {
        return false;
    }
    cache_slot& slot = cache.slots[cache.used++];
    slot.mapped = koframe_image_sections_map(image, &slot.sections) == KOFRAME_ESUCCESS;
    slot.sections.header_address = image->header_address;
    *sections = slot.mapped ? &slot.sections : nullptr;
    return true;
}
