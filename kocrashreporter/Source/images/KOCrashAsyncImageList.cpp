// May run at crash time: everything in this file (atomic loads and adds, memory objects, the
// loader comparison's fault-safe reads into reserved storage).
#include "images/KOCrashAsyncImageList.h"

#include "platform/dyld/LoaderAtCrash.h"

#include <cstdint>

namespace {

// The late image's index, or -1 for an image of the list itself.
std::ptrdiff_t lateIndex(const kocrash_async_image_list* list, const kocrash_async_image* image) {
    const auto first = reinterpret_cast<std::uintptr_t>(list->late_images);
    const auto address = reinterpret_cast<std::uintptr_t>(image);
    const std::size_t count = list->late_count.load();
    if (address < first || address >= first + count * sizeof(kocrash_async_image)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>((address - first) / sizeof(kocrash_async_image));
}

} // namespace

void kocrash_async_image_list_compare_with_loader(kocrash_async_image_list* list) {
    const auto comparison = list->loader_announced.load()
                                ? platform::dyld::LoaderComparison::SinceFollowed
                                : platform::dyld::LoaderComparison::WholeLinkMap;
    if (!list->follows_loader || !platform::dyld::openLoaderComparison(comparison)) {
        return;
    }
    std::size_t count = 0;
    for (std::size_t index = 0; index < platform::dyld::lateImageCount(); ++index) {
        const platform::dyld::LateImage late = platform::dyld::lateImage(index);
        kocrash_async_image* image = &list->late_images[count];
        image->node.store(nullptr);
        if (kocrash_async_macho_init_viewed(
                &image->macho_image, list->task, late.path,
                reinterpret_cast<kocrash_vm_address_t>(late.header),
                reinterpret_cast<kocrash_vm_address_t>(late.contents)) == KOCRASH_ESUCCESS) {
            ++count;
        }
    }
    list->late_count.store(count);
    list->comparisons.fetch_add(1);
    list->comparing.store(true);
}

void kocrash_async_image_list_end_loader_comparison(kocrash_async_image_list* list) {
    if (!list->comparing.load()) {
        return;
    }
    list->comparing.store(false);
    const std::size_t count = list->late_count.exchange(0);
    for (std::size_t index = 0; index < count; ++index) {
        kocrash_async_macho_release(&list->late_images[index].macho_image);
    }
    platform::dyld::closeLoaderComparison();
}

void kocrash_async_image_list_set_reading(kocrash_async_image_list* list, bool reading) {
    list->list->set_reading(reading);
}

kocrash_async_image* kocrash_async_image_list_next(kocrash_async_image_list* list,
                                                   kocrash_async_image* current) {
    const bool comparing = list->comparing.load();
    const std::size_t late = comparing ? list->late_count.load() : 0;
    if (current != nullptr && comparing) {
        const std::ptrdiff_t index = lateIndex(list, current);
        if (index >= 0) {
            return static_cast<std::size_t>(index) + 1 < late ? &list->late_images[index + 1]
                                                              : nullptr;
        }
    }
    kocrash_async_image_nodes::node* node =
        current == nullptr ? list->list->head()
                           : kocrash_async_image_nodes::next(current->node.load());
    for (; node != nullptr; node = kocrash_async_image_nodes::next(node)) {
        kocrash_async_image* image = node->value;
        const auto* header =
            reinterpret_cast<const mach_header*>(image->macho_image.header_address);
        if (comparing &&
            (platform::dyld::closedSinceFollowed(header) || platform::dyld::viewedLate(header))) {
            continue;
        }
        image->node.store(node);
        return image;
    }
    return late > 0 ? &list->late_images[0] : nullptr;
}

kocrash_async_image* kocrash_async_image_containing_address(kocrash_async_image_list* list,
                                                            kocrash_vm_address_t address) {
    for (kocrash_async_image* image = kocrash_async_image_list_next(list, nullptr);
         image != nullptr; image = kocrash_async_image_list_next(list, image)) {
        if (kocrash_async_macho_contains_address(&image->macho_image, address)) {
            return image;
        }
    }
    return nullptr;
}
