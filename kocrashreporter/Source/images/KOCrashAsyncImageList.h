// The list of loaded images: normal code keeps it current from the loader's add and remove
// callbacks; crash-time code walks it without locking. May run at crash time:
// kocrash_async_image_list_set_reading, kocrash_async_image_list_next and
// kocrash_async_image_containing_address. The kocrash_nasync_ operations allocate and lock.
#pragma once

#include "async/KOCrashAsyncList.h"
#include "images/KOCrashAsyncMachO.h"

#include <atomic>
#include <mutex>
#include <vector>

struct kocrash_async_image;
using kocrash_async_image_nodes = kocrash::async::async_list<kocrash_async_image*>;

struct kocrash_async_image {
    kocrash_async_macho macho_image;
    // The node that carries the image, stored by the iteration.
    std::atomic<kocrash_async_image_nodes::node*> node;
};

struct kocrash_async_image_list {
    // One send-right reference is held.
    task_t task;
    kocrash_async_image_nodes* list;
    // Serialises the nasync operations, so an image is looked up and unlinked as one step.
    std::mutex* writer_mutex;
    // Images unlinked while a reader was active: a reader may still stand on them, so they are
    // released only once no reader is active, or with the list.
    std::vector<kocrash_async_image*>* retired;
};

extern "C" {

void kocrash_nasync_image_list_init(kocrash_async_image_list* list, task_t task);
// An image that cannot be read is not added; nothing is reported.
void kocrash_nasync_image_list_append(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address, const char* name);
// Removes the first image with that header address; nothing when there is none.
void kocrash_nasync_image_list_remove(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address);
// Returns once no reader is walking the list. The loader's remove callback waits here before the
// image is unmapped: a walk that began before the removal may still read the image's memory.
void kocrash_nasync_image_list_wait_until_unread(kocrash_async_image_list* list);
void kocrash_nasync_image_list_free(kocrash_async_image_list* list);

// Readers bracket every walk with true and false.
void kocrash_async_image_list_set_reading(kocrash_async_image_list* list, bool reading);
// The image after current, the first for none, none at the end.
kocrash_async_image* kocrash_async_image_list_next(kocrash_async_image_list* list,
                                                   kocrash_async_image* current);
kocrash_async_image* kocrash_async_image_containing_address(kocrash_async_image_list* list,
                                                            kocrash_vm_address_t address);

} // extern "C"
