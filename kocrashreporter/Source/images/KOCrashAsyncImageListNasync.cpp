// Normal context only: the image list's writers allocate, free and lock.
#include "images/KOCrashAsyncImageList.h"

#include "platform/dyld/LateObjectViews.h"
#include "platform/mach/MachPorts.h"

#include <chrono>
#include <thread>

using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;

namespace {

void releaseImage(kocrash_async_image* image) {
    kocrash_nasync_macho_free(&image->macho_image);
    delete image;
}

// Called with the writer mutex held.
void releaseRetiredWhenUnread(kocrash_async_image_list* list) {
    if (list->list->reader_count() > 0) {
        return;
    }
    for (kocrash_async_image* image : *list->retired) {
        releaseImage(image);
    }
    list->retired->clear();
}

} // namespace

void kocrash_nasync_image_list_init(kocrash_async_image_list* list, task_t task) {
    list->task = task;
    list->list = new kocrash_async_image_nodes();
    list->writer_mutex = new std::mutex();
    list->retired = new std::vector<kocrash_async_image*>();
    list->follows_loader = false;
    list->loader_announced.store(false);
    list->late_images = new kocrash_async_image[platform::dyld::kLateViewSlots]{};
    list->late_count.store(0);
    list->comparing.store(false);
    list->comparisons.store(0);
    mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
}

void kocrash_nasync_image_list_follow_loader(kocrash_async_image_list* list) {
    list->follows_loader = true;
}

void kocrash_nasync_image_list_loader_announced(kocrash_async_image_list* list) {
    list->loader_announced.store(true);
}

bool kocrash_nasync_image_list_append(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address, const char* name) {
    auto* image = new kocrash_async_image{};
    if (kocrash_nasync_macho_init(&image->macho_image, list->task, name, header_address) !=
        KOCRASH_ESUCCESS) {
        delete image;
        return false;
    }
    std::lock_guard lock(*list->writer_mutex);
    releaseRetiredWhenUnread(list);
    list->list->nasync_append(image);
    return true;
}

void kocrash_nasync_image_list_remove(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address) {
    std::lock_guard lock(*list->writer_mutex);
    // Only writers unlink nodes, and they hold the mutex, so this walk needs no read mark.
    for (auto* node = list->list->head(); node != nullptr;
         node = kocrash_async_image_nodes::next(node)) {
        kocrash_async_image* image = node->value;
        if (image->macho_image.header_address != header_address) {
            continue;
        }
        if (list->list->nasync_remove_node(node)) {
            releaseImage(image);
        } else {
            list->retired->push_back(image);
        }
        break;
    }
    releaseRetiredWhenUnread(list);
}

void kocrash_nasync_image_list_wait_until_unread(kocrash_async_image_list* list) {
    while (list->list->reader_count() > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void kocrash_nasync_image_list_free(kocrash_async_image_list* list) {
    {
        std::lock_guard lock(*list->writer_mutex);
        for (auto* node = list->list->head(); node != nullptr;
             node = kocrash_async_image_nodes::next(node)) {
            releaseImage(node->value);
        }
        for (kocrash_async_image* image : *list->retired) {
            releaseImage(image);
        }
    }
    delete list->list;
    delete list->retired;
    delete list->writer_mutex;
    delete[] list->late_images;
    list->late_images = nullptr;
    list->list = nullptr;
    list->retired = nullptr;
    list->writer_mutex = nullptr;
    mach_port_mod_refs(mach_task_self(), list->task, MACH_PORT_RIGHT_SEND, -1);
}
