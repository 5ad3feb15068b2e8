// May run at crash time: kocrash_log_writer_write and kocrash_log_writer_close (thread listing,
// parking and resumption through the Mach stand-ins, clock_gettime, the image list's comparison
// with the loader, the section writers).
//
// Every other thread is parked for the whole write, and each thread's stack is walked once into
// the writer's own storage before its section is measured and written: a live report's threads
// run again the moment they are resumed, and a length prefix measured on one stack but followed
// by a body written from another would make the rest of the file unreadable. The image list is
// compared with the loader while the threads are parked, so no thread opens or closes a library
// between the comparison and the walks.
#include "log/KOCrashLogWriter.h"

#include "log/KOCrashLogWriterSections.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachVirtualMemory.h"

#include <ctime>

using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::task_threads;
using platform::mach::thread_resume;
using platform::mach::thread_suspend;

namespace {

struct thread_list {
    thread_act_array_t threads;
    mach_msg_type_number_t count;
};

thread_list list_threads(task_t task) {
    thread_list list{nullptr, 0};
    if (task_threads(task, &list.threads, &list.count) != KERN_SUCCESS) {
        list = {nullptr, 0};
    }
    return list;
}

bool listed_within_storage(mach_msg_type_number_t index) {
    return index < platform::mach::kThreadParkCapacity;
}

// Sets the bit of every listed thread within the storage, so no bit of an earlier write is read.
void suspend_others(kocrash_log_writer* writer, const thread_list& list, thread_t self) {
    for (mach_msg_type_number_t index = 0; index < list.count && listed_within_storage(index);
         ++index) {
        const thread_act_t thread = list.threads[index];
        writer->suspended[index] = thread != self && thread_suspend(thread) == KERN_SUCCESS;
    }
}

// Only threads this write suspended: resuming one whose suspension failed would undo another
// suspender's.
void resume_suspended(kocrash_log_writer* writer, const thread_list& list) {
    for (mach_msg_type_number_t index = 0; index < list.count && listed_within_storage(index);
         ++index) {
        if (writer->suspended[index]) {
            thread_resume(list.threads[index]);
        }
    }
}

void release_threads(task_t task, const thread_list& list) {
    for (mach_msg_type_number_t index = 0; index < list.count; ++index) {
        mach_port_deallocate(task, list.threads[index]);
    }
    if (list.threads != nullptr) {
        mach_vm_deallocate(task, reinterpret_cast<mach_vm_address_t>(list.threads),
                           list.count * sizeof(thread_act_t));
    }
}

std::int64_t current_time() {
    timespec now;
    return clock_gettime(CLOCK_REALTIME, &now) == 0 ? static_cast<std::int64_t>(now.tv_sec) : 0;
}

void write_threads(kocrash_log_writer* writer, kocrash_async_file* file, const thread_list& list,
                   thread_t self, thread_t crashed_thread,
                   const kocrash_async_thread_state* current_state,
                   const kocrash_writer_symbolication* symbolication) {
    std::uint32_t thread_number = 0;
    for (mach_msg_type_number_t index = 0; index < list.count; ++index) {
        const thread_act_t thread = list.threads[index];
        if (thread == self && current_state == nullptr) {
            continue;
        }
        const bool crashed = thread == crashed_thread;
        kocrash_log_writer_thread_walk* walk = &writer->thread_walk;
        if (thread == self || (listed_within_storage(index) && writer->suspended[index])) {
            kocrash_writer_walk_thread(walk, thread, thread == self ? current_state : nullptr,
                                       crashed, symbolication);
        } else {
            // Its stack changes under the walker: listed, without frames.
            walk->frame_count = 0;
            walk->register_count = 0;
        }
        kocrash_writer_pack_message(file, 3, [&](kocrash_async_file* out) {
            return kocrash_writer_write_thread(out, walk, thread_number, crashed, symbolication);
        });
        ++thread_number;
    }
}

void write_images(kocrash_async_file* file, kocrash_async_image_list* image_list) {
    kocrash_async_image_list_set_reading(image_list, true);
    for (kocrash_async_image* image = kocrash_async_image_list_next(image_list, nullptr);
         image != nullptr; image = kocrash_async_image_list_next(image_list, image)) {
        kocrash_writer_pack_message(file, 4, [image](kocrash_async_file* out) {
            return kocrash_writer_write_binary_image(out, &image->macho_image);
        });
    }
    kocrash_async_image_list_set_reading(image_list, false);
}

} // namespace

kocrash_error_t kocrash_log_writer_write(kocrash_log_writer* writer, thread_t crashed_thread,
                                         kocrash_async_image_list* image_list,
                                         kocrash_async_file* file,
                                         const kocrash_log_signal_info* signal_info,
                                         const kocrash_async_thread_state* current_state) {
    const task_t task = mach_task_self();
    const thread_t self = mach_thread_self();
    const thread_list list = list_threads(task);
    suspend_others(writer, list, self);
    kocrash_async_image_list_compare_with_loader(image_list);

    kocrash_async_symbol_cache cache;
    kocrash_async_symbol_cache_init(&cache);
    const kocrash_writer_symbolication symbolication{writer->symbol_strategy, image_list, &cache};

    kocrash_writer_write_header(file);
    kocrash_writer_pack_message(file, 9, [writer](kocrash_async_file* out) {
        return kocrash_writer_write_report_info(out, writer);
    });
    const std::int64_t timestamp = current_time();
    kocrash_writer_pack_message(file, 1, [writer, timestamp](kocrash_async_file* out) {
        return kocrash_writer_write_system_info(out, writer, timestamp);
    });
    kocrash_writer_pack_message(file, 8, [writer](kocrash_async_file* out) {
        return kocrash_writer_write_machine_info(out, writer);
    });
    kocrash_writer_pack_message(file, 2, [writer](kocrash_async_file* out) {
        return kocrash_writer_write_app_info(out, writer);
    });
    kocrash_writer_pack_message(file, 7, [writer](kocrash_async_file* out) {
        return kocrash_writer_write_process_info(out, writer);
    });
    write_threads(writer, file, list, self, crashed_thread, current_state, &symbolication);
    write_images(file, image_list);
    if (writer->uncaught_exception.has_exception) {
        kocrash_writer_pack_message(file, 5, [writer, &symbolication](kocrash_async_file* out) {
            return kocrash_writer_write_exception(out, writer, &symbolication);
        });
    }
    kocrash_writer_pack_message(file, 6, [signal_info](kocrash_async_file* out) {
        return kocrash_writer_write_signal(out, signal_info);
    });
    if (writer->custom_data.data != nullptr) {
        kocrash_writer_pack_data(file, 10, &writer->custom_data);
    }

    kocrash_async_symbol_cache_free(&cache);
    kocrash_async_image_list_end_loader_comparison(image_list);
    resume_suspended(writer, list);
    release_threads(task, list);
    mach_port_deallocate(task, self);
    return KOCRASH_ESUCCESS;
}

kocrash_error_t kocrash_log_writer_close(kocrash_log_writer*) {
    return KOCRASH_ESUCCESS;
}
