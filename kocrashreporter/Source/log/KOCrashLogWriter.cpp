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

#include <ctime>
#include <unistd.h>

using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::task_threads_into;
using platform::mach::thread_resume;
using platform::mach::thread_suspend;

namespace {

struct thread_list {
    const thread_act_t* threads;
    mach_msg_type_number_t count;
};

thread_list list_threads(kocrash_log_writer* writer, task_t task) {
    mach_msg_type_number_t count = 0;
    if (task_threads_into(task, writer->threads, KOCRASH_LOG_WRITER_MAX_THREADS, &count) !=
        KERN_SUCCESS) {
        count = 0;
    }
    return {writer->threads, count};
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
}

std::int64_t current_time() {
    timespec now;
    return clock_gettime(CLOCK_REALTIME, &now) == 0 ? static_cast<std::int64_t>(now.tv_sec) : 0;
}

// Room for a thread listed without frames: its field head, number and crashed flag.
constexpr std::uint64_t kThreadWithoutFrames = 8;

std::uint64_t room_left(std::uint64_t limit, std::uint64_t written, std::uint64_t kept) {
    return written + kept < limit ? limit - written - kept : 0;
}

std::size_t thread_field_size(const kocrash_log_writer_thread_walk* walk,
                              std::uint32_t thread_number, bool crashed,
                              const kocrash_writer_symbolication* symbolication) {
    return kocrash_writer_pack_message(nullptr, 3, [&](kocrash_async_file* out) {
        return kocrash_writer_write_thread(out, walk, thread_number, crashed, symbolication);
    });
}

// How much of the host's custom data the report carries: all of it, its first bytes, or none
// (not present) when not even a field of it fits.
struct custom_data_cut {
    bool present;
    std::uint32_t kept;
    std::uint64_t omitted;
};

std::size_t custom_data_size(const kocrash_log_writer* writer, kocrash_async_file* file,
                             const custom_data_cut& cut) {
    std::size_t size = 0;
    if (cut.present) {
        const koprotobuf_cbinary_data kept{cut.kept, writer->custom_data.data};
        size += kocrash_writer_pack_data(file, 10, &kept);
    }
    if (cut.omitted != 0) {
        size += kocrash_writer_pack(file, 11, KOCRASH_WRITER_TYPE_UINT64, &cut.omitted);
    }
    return size;
}

// Custom data never costs the report: under a size cap it takes only what the rest (reserved)
// leaves, and the report records how many of its bytes were left out.
custom_data_cut fit_custom_data(const kocrash_log_writer* writer, const kocrash_async_file* file,
                                std::uint64_t reserved) {
    const std::uint64_t length = writer->custom_data.len;
    custom_data_cut cut{writer->custom_data.data != nullptr, static_cast<std::uint32_t>(length), 0};
    if (!cut.present || file->byte_limit == 0 ||
        custom_data_size(writer, nullptr, cut) <=
            room_left(file->byte_limit, file->bytes_written, reserved)) {
        return cut;
    }
    cut.omitted = length;
    const std::uint64_t room =
        room_left(file->byte_limit, file->bytes_written,
                  reserved + custom_data_size(writer, nullptr, {false, 0, length}));
    // A field with no byte of the data is of no use: below two bytes of room it is left out.
    std::uint64_t kept = room > length ? length : room;
    for (; kept != 0; --kept) {
        if (custom_data_size(writer, nullptr, {true, static_cast<std::uint32_t>(kept), 0}) <=
            room) {
            break;
        }
    }
    cut.present = kept != 0;
    cut.kept = static_cast<std::uint32_t>(kept);
    cut.omitted = length - kept;
    return cut;
}

// Under a size cap, the threads take what the sections after them and the crashed thread leave:
// the crashed thread is written whole, and every other thread gives up its outermost frames
// (all of them, if need be) so that the report ends whole instead of being cut.
void write_threads(kocrash_log_writer* writer, kocrash_async_file* file, const thread_list& list,
                   thread_t self, thread_t crashed_thread,
                   const kocrash_async_thread_state* current_state,
                   const kocrash_writer_symbolication* symbolication, std::uint64_t tail_size,
                   custom_data_cut* custom) {
    const auto listed = [&](mach_msg_type_number_t index) {
        return list.threads[index] != self || current_state != nullptr;
    };
    const auto walk_into = [&](kocrash_log_writer_thread_walk* walk, mach_msg_type_number_t index) {
        const thread_act_t thread = list.threads[index];
        if (thread == self || (listed_within_storage(index) && writer->suspended[index])) {
            kocrash_writer_walk_thread(walk, thread, thread == self ? current_state : nullptr,
                                       thread == crashed_thread, symbolication);
        } else {
            // Its stack changes under the walker: listed, without frames.
            walk->frame_count = 0;
            walk->register_count = 0;
        }
    };
    std::uint64_t crashed_size = 0;
    std::uint64_t others = 0;
    for (mach_msg_type_number_t index = 0; index < list.count; ++index) {
        if (!listed(index)) {
            continue;
        }
        if (list.threads[index] == crashed_thread) {
            walk_into(&writer->crashed_walk, index);
            // Measured with the largest number it can have.
            crashed_size =
                thread_field_size(&writer->crashed_walk, list.count, true, symbolication);
        } else {
            ++others;
        }
    }
    *custom =
        fit_custom_data(writer, file, tail_size + crashed_size + others * kThreadWithoutFrames);
    const std::uint64_t kept_after = tail_size + custom_data_size(writer, nullptr, *custom);
    std::uint32_t thread_number = 0;
    for (mach_msg_type_number_t index = 0; index < list.count; ++index) {
        if (!listed(index)) {
            continue;
        }
        const bool crashed = list.threads[index] == crashed_thread;
        kocrash_log_writer_thread_walk* walk = &writer->crashed_walk;
        if (crashed) {
            crashed_size = 0;
        } else {
            walk = &writer->thread_walk;
            walk_into(walk, index);
            --others;
            if (file->byte_limit != 0) {
                kocrash_writer_fit_thread(
                    walk, thread_number,
                    room_left(file->byte_limit, file->bytes_written,
                              kept_after + crashed_size + others * kThreadWithoutFrames),
                    symbolication);
            }
        }
        kocrash_writer_pack_message(file, 3, [&](kocrash_async_file* out) {
            return kocrash_writer_write_thread(out, walk, thread_number, crashed, symbolication);
        });
        ++thread_number;
    }
}

std::size_t write_images(kocrash_async_file* file, kocrash_async_image_list* image_list) {
    std::size_t size = 0;
    kocrash_async_image_list_set_reading(image_list, true);
    for (kocrash_async_image* image = kocrash_async_image_list_next(image_list, nullptr);
         image != nullptr; image = kocrash_async_image_list_next(image_list, image)) {
        size += kocrash_writer_pack_message(file, 4, [image](kocrash_async_file* out) {
            return kocrash_writer_write_binary_image(out, &image->macho_image);
        });
    }
    kocrash_async_image_list_set_reading(image_list, false);
    return size;
}

// What follows the threads, always whole: the images, the exception and the signal; the custom
// data as far as it was given room.
std::size_t write_tail(kocrash_async_file* file, const kocrash_log_writer* writer,
                       kocrash_async_image_list* image_list,
                       const kocrash_log_signal_info* signal_info,
                       const kocrash_writer_symbolication* symbolication,
                       const custom_data_cut& custom) {
    std::size_t size = write_images(file, image_list);
    if (writer->uncaught_exception.has_exception) {
        size +=
            kocrash_writer_pack_message(file, 5, [writer, symbolication](kocrash_async_file* out) {
                return kocrash_writer_write_exception(out, writer, symbolication);
            });
    }
    size += kocrash_writer_pack_message(file, 6, [signal_info](kocrash_async_file* out) {
        return kocrash_writer_write_signal(out, signal_info);
    });
    return size + custom_data_size(writer, file, custom);
}

} // namespace

kocrash_error_t kocrash_log_writer_write(kocrash_log_writer* writer, thread_t crashed_thread,
                                         kocrash_async_image_list* image_list,
                                         kocrash_async_file* file,
                                         const kocrash_log_signal_info* signal_info,
                                         const kocrash_async_thread_state* current_state) {
    const task_t task = mach_task_self();
    const thread_t self = mach_thread_self();
    const thread_list list = list_threads(writer, task);
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
    const auto process_id = static_cast<std::uint32_t>(getpid());
    const auto parent_process_id = static_cast<std::uint32_t>(getppid());
    kocrash_writer_pack_message(file, 7, [=](kocrash_async_file* out) {
        return kocrash_writer_write_process_info(out, writer, process_id, parent_process_id);
    });
    custom_data_cut custom{false, 0, 0};
    const std::size_t tail_size =
        write_tail(nullptr, writer, image_list, signal_info, &symbolication, custom);
    write_threads(writer, file, list, self, crashed_thread, current_state, &symbolication,
                  tail_size, &custom);
    write_tail(file, writer, image_list, signal_info, &symbolication, custom);

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
