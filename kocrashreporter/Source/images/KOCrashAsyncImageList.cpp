// May run at crash time: everything in this file (atomic loads and adds, memory objects).
#include "images/KOCrashAsyncImageList.h"

void kocrash_async_image_list_set_reading(kocrash_async_image_list* list, bool reading) {
    list->list->set_reading(reading);
}

kocrash_async_image* kocrash_async_image_list_next(kocrash_async_image_list* list,
                                                   kocrash_async_image* current) {
    kocrash_async_image_nodes::node* node =
        current == nullptr ? list->list->head()
                           : kocrash_async_image_nodes::next(current->node.load());
    if (node == nullptr) {
        return nullptr;
    }
    kocrash_async_image* image = node->value;
    image->node.store(node);
    return image;
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
