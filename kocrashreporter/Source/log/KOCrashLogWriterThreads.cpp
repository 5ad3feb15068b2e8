// May run at crash time: everything in this file (the frame walker, symbol lookups and field
// packing; a thread's frames live in the writer's walk storage, never on the heap).
#include "log/KOCrashLogWriterSections.h"

#include "platform/mach/MachPorts.h"
#include "unwind/KOCrashFrameWalker.h"

using platform::mach::mach_task_self;

namespace {

// A register the first frame does not know is written as 0.
void keep_first_frame_registers(kocrash_log_writer_thread_walk* walk,
                                const koframe_cursor* cursor) {
    std::uint64_t count = koframe_cursor_get_regcount(cursor);
    if (count > KOCRASH_ARM64_REGISTER_COUNT) {
        count = KOCRASH_ARM64_REGISTER_COUNT;
    }
    for (kocrash_regnum_t regnum = 0; regnum < count; ++regnum) {
        kocrash_greg_t value = 0;
        koframe_cursor_get_reg(cursor, regnum, &value);
        walk->register_names[regnum] = koframe_cursor_get_regname(cursor, regnum);
        walk->register_values[regnum] = value;
    }
    walk->register_count = static_cast<std::uint32_t>(count);
}

// Runs the symbol lookup for the frame with the image list in reading mode; false when no
// image holds it, symbolication is off or nothing names it. A return address is looked up one
// byte back, inside the call: after a call that never returns it is the next function's start.
bool find_symbol(const kocrash_log_writer_frame* frame,
                 const kocrash_writer_symbolication* symbolication,
                 kocrash_writer_symbol_output* output) {
    if (symbolication->strategy == KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE) {
        return false;
    }
    const kocrash_greg_t pc = frame->return_address && frame->pc != 0 ? frame->pc - 1 : frame->pc;
    kocrash_async_image_list_set_reading(symbolication->image_list, true);
    bool found = false;
    if (kocrash_async_image* image =
            kocrash_async_image_containing_address(symbolication->image_list, pc)) {
        found = kocrash_async_find_symbol(
                    &image->macho_image, symbolication->strategy, symbolication->cache, pc,
                    kocrash_writer_write_thread_frame_symbol_cb, output) == KOCRASH_ESUCCESS;
    }
    kocrash_async_image_list_set_reading(symbolication->image_list, false);
    return found;
}

} // namespace

void kocrash_writer_walk_thread(kocrash_log_writer_thread_walk* walk, thread_t thread,
                                const kocrash_async_thread_state* state, bool keep_registers,
                                const kocrash_writer_symbolication* symbolication) {
    walk->frame_count = 0;
    walk->register_count = 0;
    koframe_cursor cursor;
    const koframe_error_t init_error =
        state != nullptr
            ? koframe_cursor_init(&cursor, mach_task_self(), state, symbolication->image_list)
            : koframe_cursor_thread_init(&cursor, mach_task_self(), thread,
                                         symbolication->image_list);
    if (init_error != KOFRAME_ESUCCESS) {
        return;
    }
    if (koframe_cursor_next(&cursor) == KOFRAME_ESUCCESS) {
        if (keep_registers && KOCRASH_ASYNC_THREAD_STATE_HAS_LAYOUT) {
            keep_first_frame_registers(walk, &cursor);
        }
        while (walk->frame_count < KOCRASH_LOG_WRITER_MAX_FRAMES) {
            kocrash_greg_t pc = 0;
            if (koframe_cursor_get_reg(&cursor, KOCRASH_REG_IP, &pc) != KOFRAME_ESUCCESS) {
                break;
            }
            kocrash_log_writer_frame& frame = walk->frames[walk->frame_count];
            frame.pc = pc;
            // Only the first frame holds where the thread stood; every caller was reached by
            // returning.
            frame.return_address = walk->frame_count != 0;
            frame.symbol_size = kocrash_writer_measure_frame_symbol(&frame, symbolication);
            ++walk->frame_count;
            if (koframe_cursor_next(&cursor) != KOFRAME_ESUCCESS) {
                break;
            }
        }
    }
    koframe_cursor_free(&cursor);
}

std::size_t kocrash_writer_write_thread(kocrash_async_file* file,
                                        const kocrash_log_writer_thread_walk* walk,
                                        std::uint32_t thread_number, bool crashed,
                                        const kocrash_writer_symbolication* symbolication) {
    std::size_t size = kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_UINT32, &thread_number);
    const std::uint8_t crashed_byte = crashed ? 1 : 0;
    size += kocrash_writer_pack(file, 3, KOCRASH_WRITER_TYPE_BOOL, &crashed_byte);
    if (crashed) {
        for (std::uint32_t index = 0; index < walk->register_count; ++index) {
            size += kocrash_writer_pack_message(file, 4, [walk, index](kocrash_async_file* out) {
                return kocrash_writer_write_thread_register(out, walk->register_names[index],
                                                            walk->register_values[index]);
            });
        }
    }
    for (std::uint32_t index = 0; index < walk->frame_count; ++index) {
        const kocrash_log_writer_frame* frame = &walk->frames[index];
        size +=
            kocrash_writer_pack_message(file, 2, [frame, symbolication](kocrash_async_file* out) {
                return kocrash_writer_write_thread_frame(out, frame, symbolication);
            });
    }
    return size;
}

void kocrash_writer_fit_thread(kocrash_log_writer_thread_walk* walk, std::uint32_t thread_number,
                               std::uint64_t room,
                               const kocrash_writer_symbolication* symbolication) {
    const std::uint32_t frames = walk->frame_count;
    walk->frame_count = 0;
    std::size_t body =
        kocrash_writer_write_thread(nullptr, walk, thread_number, false, symbolication);
    for (std::uint32_t index = 0; index < frames; ++index) {
        const kocrash_log_writer_frame* frame = &walk->frames[index];
        const std::size_t longer =
            body + kocrash_writer_pack_message(
                       nullptr, 2, [frame, symbolication](kocrash_async_file* out) {
                           return kocrash_writer_write_thread_frame(out, frame, symbolication);
                       });
        const auto length = static_cast<std::uint32_t>(longer);
        if (kocrash_writer_pack(nullptr, 3, KOCRASH_WRITER_TYPE_MESSAGE, &length) + longer > room) {
            return;
        }
        body = longer;
        walk->frame_count = index + 1;
    }
}

std::size_t kocrash_writer_write_thread_register(kocrash_async_file* file, const char* name,
                                                 kocrash_greg_t value) {
    return kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_STRING, name) +
           kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_UINT64, &value);
}

std::uint32_t
kocrash_writer_measure_frame_symbol(const kocrash_log_writer_frame* frame,
                                    const kocrash_writer_symbolication* symbolication) {
    kocrash_writer_symbol_output output{nullptr, 0};
    return find_symbol(frame, symbolication, &output) ? static_cast<std::uint32_t>(output.size) : 0;
}

std::size_t kocrash_writer_write_thread_frame(kocrash_async_file* file,
                                              const kocrash_log_writer_frame* frame,
                                              const kocrash_writer_symbolication* symbolication) {
    std::size_t size = kocrash_writer_pack(file, 3, KOCRASH_WRITER_TYPE_UINT64, &frame->pc);
    if (frame->symbol_size == 0) {
        return size;
    }
    size += kocrash_writer_pack(file, 6, KOCRASH_WRITER_TYPE_MESSAGE, &frame->symbol_size);
    size += frame->symbol_size;
    if (file != nullptr) {
        kocrash_writer_symbol_output output{file, 0};
        find_symbol(frame, symbolication, &output);
    }
    return size;
}

void kocrash_writer_write_thread_frame_symbol_cb(kocrash_vm_address_t address, const char* name,
                                                 void* context) {
    auto* output = static_cast<kocrash_writer_symbol_output*>(context);
    const std::uint64_t start_address = address;
    output->size = kocrash_writer_pack(output->file, 1, KOCRASH_WRITER_TYPE_STRING, name) +
                   kocrash_writer_pack(output->file, 2, KOCRASH_WRITER_TYPE_UINT64, &start_address);
}

std::size_t kocrash_writer_write_exception(kocrash_async_file* file,
                                           const kocrash_log_writer* writer,
                                           const kocrash_writer_symbolication* symbolication) {
    const auto& exception = writer->uncaught_exception;
    // A text that could not be copied when the exception was set is written empty.
    std::size_t size = kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_STRING,
                                           exception.name != nullptr ? exception.name : "") +
                       kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_STRING,
                                           exception.reason != nullptr ? exception.reason : "");
    std::uint64_t count = exception.callstack_count;
    if (count > KOCRASH_LOG_WRITER_MAX_FRAMES) {
        count = KOCRASH_LOG_WRITER_MAX_FRAMES;
    }
    // Every address of the call stack is a return address.
    for (std::uint64_t index = 0; index < count; ++index) {
        kocrash_log_writer_frame frame{exception.callstack[index], true, 0};
        frame.symbol_size = kocrash_writer_measure_frame_symbol(&frame, symbolication);
        size +=
            kocrash_writer_pack_message(file, 3, [&frame, symbolication](kocrash_async_file* out) {
                return kocrash_writer_write_thread_frame(out, &frame, symbolication);
            });
    }
    return size;
}
