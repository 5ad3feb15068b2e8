// The crash log writer's section writers. Each has the form (file or none, inputs) -> encoded
// size: with no file it only measures, so a caller can pack a message's length before its
// body. Both passes must read the same inputs. May run at crash time: everything declared here
// (no heap, no lock).
#pragma once

#include "images/KOCrashAsyncSymbols.h"
#include "log/KOCrashLogFieldEncoder.h"
#include "log/KOCrashLogWriter.h"

#include <cstddef>
#include <cstdint>

// What a frame needs to name its pc.
struct kocrash_writer_symbolication {
    kocrash_async_symbol_strategy strategy;
    kocrash_async_image_list* image_list;
    kocrash_async_symbol_cache* cache;
};

// Packs field `field_id` as a message whose body `write_body(file or none)` produces: measured
// first, then its length, then the body itself. Returns the field's whole size.
template <typename WriteBody>
std::size_t kocrash_writer_pack_message(kocrash_async_file* file, std::uint32_t field_id,
                                        WriteBody write_body) {
    const auto body_size = static_cast<std::uint32_t>(write_body(nullptr));
    const std::size_t head_size =
        kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_MESSAGE, &body_size);
    if (file != nullptr) {
        write_body(file);
    }
    return head_size + body_size;
}

// A byte string of the writer as a bytes field.
std::size_t kocrash_writer_pack_data(kocrash_async_file* file, std::uint32_t field_id,
                                     const koprotobuf_cbinary_data* data);

std::size_t kocrash_writer_write_report_info(kocrash_async_file* file,
                                             const kocrash_log_writer* writer);
std::size_t kocrash_writer_write_system_info(kocrash_async_file* file,
                                             const kocrash_log_writer* writer,
                                             std::int64_t timestamp);
std::size_t kocrash_writer_write_processor_info(kocrash_async_file* file, std::uint64_t type,
                                                std::uint64_t subtype);
std::size_t kocrash_writer_write_machine_info(kocrash_async_file* file,
                                              const kocrash_log_writer* writer);
std::size_t kocrash_writer_write_app_info(kocrash_async_file* file,
                                          const kocrash_log_writer* writer);
// The process's id and parent are read at the crash: a forked child crashes as itself.
std::size_t kocrash_writer_write_process_info(kocrash_async_file* file,
                                              const kocrash_log_writer* writer,
                                              std::uint32_t process_id,
                                              std::uint32_t parent_process_id);

// Fills walk from the thread's stack: from state when given, else from the suspended thread's
// registers. The first frame's registers are kept when keep_registers is set.
void kocrash_writer_walk_thread(kocrash_log_writer_thread_walk* walk, thread_t thread,
                                const kocrash_async_thread_state* state, bool keep_registers,
                                const kocrash_writer_symbolication* symbolication);
std::size_t kocrash_writer_write_thread(kocrash_async_file* file,
                                        const kocrash_log_writer_thread_walk* walk,
                                        std::uint32_t thread_number, bool crashed,
                                        const kocrash_writer_symbolication* symbolication);
// For a thread other than the crashed one whose field would take more than room bytes: keeps as
// many of its innermost frames as fit, none if need be.
void kocrash_writer_fit_thread(kocrash_log_writer_thread_walk* walk, std::uint32_t thread_number,
                               std::uint64_t room,
                               const kocrash_writer_symbolication* symbolication);
std::size_t kocrash_writer_write_thread_register(kocrash_async_file* file, const char* name,
                                                 kocrash_greg_t value);
// The encoded size of the Symbol message naming the frame; 0 when none is found.
std::uint32_t
kocrash_writer_measure_frame_symbol(const kocrash_log_writer_frame* frame,
                                    const kocrash_writer_symbolication* symbolication);
std::size_t kocrash_writer_write_thread_frame(kocrash_async_file* file,
                                              const kocrash_log_writer_frame* frame,
                                              const kocrash_writer_symbolication* symbolication);
// The symbol lookup's callback: context is a kocrash_writer_symbol_output.
struct kocrash_writer_symbol_output {
    kocrash_async_file* file;
    std::size_t size;
};
void kocrash_writer_write_thread_frame_symbol_cb(kocrash_vm_address_t address, const char* name,
                                                 void* context);

std::size_t kocrash_writer_write_binary_image(kocrash_async_file* file,
                                              const kocrash_async_macho* image);
std::size_t kocrash_writer_write_exception(kocrash_async_file* file,
                                           const kocrash_log_writer* writer,
                                           const kocrash_writer_symbolication* symbolication);
std::size_t kocrash_writer_write_signal(kocrash_async_file* file,
                                        const kocrash_log_signal_info* signal_info);
std::size_t kocrash_writer_write_mach_signal(kocrash_async_file* file,
                                             const kocrash_log_mach_signal_info* mach_info);
