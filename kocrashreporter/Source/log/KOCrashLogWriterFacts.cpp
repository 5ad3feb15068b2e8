// May run at crash time: everything in this file (field packing of facts gathered at init).
#include "log/KOCrashLogWriterSections.h"

namespace {

enum : std::int32_t {
    KOCrashReportHostOperatingSystem = 0, // MAC_OS_X
#if defined(__x86_64__)
    KOCrashReportHostArchitecture = 1, // X86_64
#else
    // 64-bit ARM has no value of its own; MachineInfo's processor tells the CPU.
    KOCrashReportHostArchitecture = 6, // ARCHITECTURE_UNKNOWN
#endif
    KOCrashReportProcessorTypeEncodingMach = 1,
};

std::size_t pack_bool(kocrash_async_file* file, std::uint32_t field_id, bool value) {
    const std::uint8_t byte = value ? 1 : 0;
    return kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_BOOL, &byte);
}

std::size_t pack_uint32(kocrash_async_file* file, std::uint32_t field_id, std::uint32_t value) {
    return kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_UINT32, &value);
}

std::size_t pack_uint64(kocrash_async_file* file, std::uint32_t field_id, std::uint64_t value) {
    return kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_UINT64, &value);
}

std::size_t pack_enum(kocrash_async_file* file, std::uint32_t field_id, std::int32_t value) {
    return kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_ENUM, &value);
}

} // namespace

std::size_t kocrash_writer_pack_data(kocrash_async_file* file, std::uint32_t field_id,
                                     const koprotobuf_cbinary_data* data) {
    const kocrash_writer_bytes bytes{static_cast<std::uint32_t>(data->len), data->data};
    return kocrash_writer_pack(file, field_id, KOCRASH_WRITER_TYPE_BYTES, &bytes);
}

std::size_t kocrash_writer_write_report_info(kocrash_async_file* file,
                                             const kocrash_log_writer* writer) {
    const kocrash_writer_bytes uuid{sizeof(writer->report_info.uuid), writer->report_info.uuid};
    return pack_bool(file, 1, writer->report_info.user_requested) +
           kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_BYTES, &uuid);
}

std::size_t kocrash_writer_write_system_info(kocrash_async_file* file,
                                             const kocrash_log_writer* writer,
                                             std::int64_t timestamp) {
    std::size_t size = pack_enum(file, 1, KOCrashReportHostOperatingSystem);
    size += kocrash_writer_pack_data(file, 2, &writer->system_info.version);
    size += kocrash_writer_pack_data(file, 5, &writer->system_info.build);
    size += pack_enum(file, 3, KOCrashReportHostArchitecture);
    size += kocrash_writer_pack(file, 4, KOCRASH_WRITER_TYPE_INT64, &timestamp);
    return size;
}

std::size_t kocrash_writer_write_processor_info(kocrash_async_file* file, std::uint64_t type,
                                                std::uint64_t subtype) {
    return pack_enum(file, 1, KOCrashReportProcessorTypeEncodingMach) + pack_uint64(file, 2, type) +
           pack_uint64(file, 3, subtype);
}

std::size_t kocrash_writer_write_machine_info(kocrash_async_file* file,
                                              const kocrash_log_writer* writer) {
    const auto& machine = writer->machine_info;
    std::size_t size = 0;
    if (machine.model.data != nullptr) {
        size += kocrash_writer_pack_data(file, 1, &machine.model);
    }
    size += kocrash_writer_pack_message(file, 2, [&machine](kocrash_async_file* out) {
        return kocrash_writer_write_processor_info(out,
                                                   static_cast<std::uint64_t>(machine.cpu_type),
                                                   static_cast<std::uint64_t>(machine.cpu_subtype));
    });
    size += pack_uint32(file, 3, machine.processor_count);
    size += pack_uint32(file, 4, machine.logical_processor_count);
    return size;
}

std::size_t kocrash_writer_write_app_info(kocrash_async_file* file,
                                          const kocrash_log_writer* writer) {
    const auto& application = writer->application_info;
    return kocrash_writer_pack_data(file, 1, &application.app_identifier) +
           kocrash_writer_pack_data(file, 2, &application.app_version) +
           kocrash_writer_pack_data(file, 3, &application.app_marketing_version);
}

std::size_t kocrash_writer_write_process_info(kocrash_async_file* file,
                                              const kocrash_log_writer* writer,
                                              std::uint32_t process_id,
                                              std::uint32_t parent_process_id) {
    const auto& process = writer->process_info;
    const bool forked = process_id != process.process_id;
    // A forked child's parent is the enabling process when it still lives; otherwise its name is
    // not known at crash time.
    const koprotobuf_cbinary_data unknown{0, nullptr};
    const koprotobuf_cbinary_data* parent_name = &process.parent_process_name;
    if (forked) {
        parent_name = parent_process_id == process.process_id ? &process.process_name : &unknown;
    }
    std::size_t size = kocrash_writer_pack_data(file, 1, &process.process_name);
    size += pack_uint32(file, 2, process_id);
    size += kocrash_writer_pack_data(file, 3, &process.process_path);
    size += kocrash_writer_pack_data(file, 4, parent_name);
    size += pack_uint32(file, 5, parent_process_id);
    size += pack_bool(file, 6, process.native);
    size += pack_uint64(file, 7, process.start_time);
    if (forked) {
        size += pack_bool(file, 8, true);
    }
    return size;
}
