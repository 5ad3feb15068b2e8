// The crash log writer: turns the state of the process into one crash log file. init,
// set_exception, set_custom_data, free and the koprotobuf_cbinary_data routines run in normal
// context (they allocate). May run at crash time: kocrash_log_writer_write and
// kocrash_log_writer_close (no heap, no lock; the writer's own fixed storage, stack buffers
// and the async file's buffer).
#pragma once

#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncFile.h"
#include "images/KOCrashAsyncImageList.h"
#include "images/KOCrashAsyncSymbols.h"
#include "info/KOCrashAsyncSignalInfo.h"
#include "platform/mach/MachExceptionTypes.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachTypes.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Most frames written for one thread or one exception call stack.
inline constexpr std::size_t KOCRASH_LOG_WRITER_MAX_FRAMES = 512;

// Most threads a report lists; those the kernel lists after them are left out.
inline constexpr std::size_t KOCRASH_LOG_WRITER_MAX_THREADS = 16384;

// An owned byte string; both fields 0 when unset.
struct koprotobuf_cbinary_data {
    std::size_t len;
    std::uint8_t* data;
};

// Fills data with a terminated copy of the string's UTF-8 bytes; len excludes the terminator.
void koprotobuf_cbinary_data_nsstring_init(koprotobuf_cbinary_data* data, std::string_view string);
void koprotobuf_cbinary_data_free(koprotobuf_cbinary_data* data);

// One frame as walked: its pc and the encoded size of its symbol (0: none), looked up once.
struct kocrash_log_writer_frame {
    kocrash_greg_t pc;
    // Set for a frame reached by returning: pc is a return address, and the call before it may
    // be its function's last instruction, so the symbol is looked up at pc - 1.
    bool return_address;
    std::uint32_t symbol_size;
};

// One thread's walk, taken once and then both measured and written, so that a stack that
// changes between the two passes cannot make a length prefix disagree with its body.
struct kocrash_log_writer_thread_walk {
    std::uint32_t frame_count;
    kocrash_log_writer_frame frames[KOCRASH_LOG_WRITER_MAX_FRAMES];
    // The first frame's registers, kept for the crashed thread only.
    std::uint32_t register_count;
    const char* register_names[KOCRASH_ARM64_REGISTER_COUNT];
    kocrash_greg_t register_values[KOCRASH_ARM64_REGISTER_COUNT];
};

struct kocrash_log_writer {
    kocrash_async_symbol_strategy symbol_strategy;

    struct {
        bool user_requested;
        std::uint8_t uuid[16];
    } report_info;

    struct {
        koprotobuf_cbinary_data version;
        koprotobuf_cbinary_data build;
    } system_info;

    struct {
        koprotobuf_cbinary_data model;
        std::int64_t cpu_type;
        std::int64_t cpu_subtype;
        std::uint32_t processor_count;
        std::uint32_t logical_processor_count;
    } machine_info;

    struct {
        koprotobuf_cbinary_data app_identifier;
        koprotobuf_cbinary_data app_version;
        koprotobuf_cbinary_data app_marketing_version;
    } application_info;

    struct {
        koprotobuf_cbinary_data process_name;
        std::uint32_t process_id;
        koprotobuf_cbinary_data process_path;
        std::uint64_t start_time;
        koprotobuf_cbinary_data parent_process_name;
        std::uint32_t parent_process_id;
        bool native;
    } process_info;

    struct {
        bool has_exception;
        char* name;
        char* reason;
        std::uint64_t* callstack;
        std::uint64_t callstack_count;
    } uncaught_exception;

    // Present (possibly zero-length) whenever data is set.
    koprotobuf_cbinary_data custom_data;

    // Scratch storage of write(): the crashed thread's walk (measured before any thread is
    // written, so that the threads before it leave it room under the size cap), one other
    // thread's walk at a time, and which listed threads (by position in the kernel's list) it
    // suspended. No more threads than this can be suspended
    // at once: a thread further down the list is listed without frames and left running, since
    // a running thread's stack is never walked.
    kocrash_log_writer_thread_walk crashed_walk;
    kocrash_log_writer_thread_walk thread_walk;
    std::bitset<platform::mach::kThreadParkCapacity> suspended;
    // The task's threads, listed into storage that exists before the crash: a process that ran
    // out of memory cannot map a list at crash time.
    thread_act_t threads[KOCRASH_LOG_WRITER_MAX_THREADS];
};

// The BSD part of the crash and, when it came in as a Mach exception, the Mach part.
struct kocrash_log_mach_signal_info {
    exception_type_t type;
    const mach_exception_data_type_t* code;
    mach_msg_type_number_t code_count;
};

struct kocrash_log_signal_info {
    const kocrash_async_signal_info* bsd_info;
    // Null when the crash did not come in as a Mach exception.
    const kocrash_log_mach_signal_info* mach_info;
};

// 0, or 5 when the process facts cannot be read (the writer then holds no process, machine or
// OS facts). A missing marketing version is written as an empty one.
kocrash_error_t kocrash_log_writer_init(kocrash_log_writer* writer, std::string_view app_identifier,
                                        std::string_view app_version,
                                        std::optional<std::string_view> app_marketing_version,
                                        kocrash_async_symbol_strategy symbol_strategy,
                                        bool user_requested);

// The uncaught exception: its name, reason and the return addresses of its call stack, innermost
// first. No reason, or a text that cannot be copied, is written as "". A second call on one
// writer stops the process.
void kocrash_log_writer_set_exception(kocrash_log_writer* writer, std::string_view name,
                                      std::optional<std::string_view> reason,
                                      std::span<const std::uint64_t> call_stack_return_addresses);

// Replaces the custom data; none removes it, empty data is kept as a present, empty value.
void kocrash_log_writer_set_custom_data(kocrash_log_writer* writer,
                                        std::optional<std::span<const std::uint8_t>> data);

// Writes the whole report to file. crashed_thread is marked crashed. current_state is the
// calling thread's state, or null to leave the calling thread out. Suspends every other thread
// for the duration. Not re-entrant. Returns 0: a failed file write only shortens the file.
kocrash_error_t kocrash_log_writer_write(kocrash_log_writer* writer, thread_t crashed_thread,
                                         kocrash_async_image_list* image_list,
                                         kocrash_async_file* file,
                                         const kocrash_log_signal_info* signal_info,
                                         const kocrash_async_thread_state* current_state);

kocrash_error_t kocrash_log_writer_close(kocrash_log_writer* writer);
// Releases every owned buffer; the writer may then be initialised again.
void kocrash_log_writer_free(kocrash_log_writer* writer);
