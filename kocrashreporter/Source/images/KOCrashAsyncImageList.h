// The list of loaded images: normal code keeps it current from the loader's add and remove
// callbacks; crash-time code walks it without locking. The loader's callbacks come at the
// registry's next use, so a report compares the list it walks with the loader itself
// (platform/dyld/LoaderAtCrash.h): images of objects closed since are skipped, and objects opened
// since are listed after the rest, in records reserved beforehand. May run at crash time: the
// kocrash_async_ operations. The kocrash_nasync_ operations allocate and lock.
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
    // Set for the list the loader's callbacks keep: only that one is compared with the loader.
    bool follows_loader;
    // Set once the callbacks have announced every object the loader held when the list began
    // following it. Until then a report lists the loader's objects from its link map, and of the
    // list only what the link map does not show.
    std::atomic<bool> loader_announced;
    // Records for the objects opened since the registry last followed the loader, reserved at
    // init, and how many a comparison filled.
    kocrash_async_image* late_images;
    std::atomic<std::size_t> late_count;
    std::atomic<bool> comparing;
    // Comparisons begun: names one report's unchanging view of the images.
    std::atomic<std::uint64_t> comparisons;
};

extern "C" {

void kocrash_nasync_image_list_init(kocrash_async_image_list* list, task_t task);
// Marks the list as the one the loader's callbacks keep, and, once they have announced what the
// loader held at the start, that they have.
void kocrash_nasync_image_list_follow_loader(kocrash_async_image_list* list);
void kocrash_nasync_image_list_loader_announced(kocrash_async_image_list* list);
// An image that cannot be read is not added: false.
bool kocrash_nasync_image_list_append(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address, const char* name);
// Removes the first image with that header address; nothing when there is none.
void kocrash_nasync_image_list_remove(kocrash_async_image_list* list,
                                      kocrash_vm_address_t header_address);
// Returns once no reader is walking the list. The loader's remove callback waits here before the
// image is unmapped: a walk that began before the removal may still read the image's memory.
void kocrash_nasync_image_list_wait_until_unread(kocrash_async_image_list* list);
void kocrash_nasync_image_list_free(kocrash_async_image_list* list);

// For one report, on a list that follows the loader: until the comparison ends, the walk skips
// images of objects the loader closed since the registry last followed it and lists, after the
// rest, the objects it opened since. Nothing for another list, or when the loader's records
// cannot be compared (the list is then walked as it stands).
void kocrash_async_image_list_compare_with_loader(kocrash_async_image_list* list);
void kocrash_async_image_list_end_loader_comparison(kocrash_async_image_list* list);

// Readers bracket every walk with true and false.
void kocrash_async_image_list_set_reading(kocrash_async_image_list* list, bool reading);
// The image after current, the first for none, none at the end.
kocrash_async_image* kocrash_async_image_list_next(kocrash_async_image_list* list,
                                                   kocrash_async_image* current);
kocrash_async_image* kocrash_async_image_containing_address(kocrash_async_image_list* list,
                                                            kocrash_vm_address_t address);

} // extern "C"
