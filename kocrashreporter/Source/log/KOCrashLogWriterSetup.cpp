// Normal context only: everything here allocates. It prepares the facts that do not change
// while the process lives, so that the crash-time write only copies them out.
#include "log/KOCrashLogWriter.h"

#include "info/KOCrashHostInfo.h"
#include "info/KOCrashProcessInfo.h"
#include "info/KOCrashSysctl.h"
#include "platform/core/UUID.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

void copy_bytes(koprotobuf_cbinary_data* data, const std::uint8_t* bytes, std::size_t length,
                bool terminated) {
    // One byte more than asked, so that empty data still gets a pointer that marks it present.
    data->data = static_cast<std::uint8_t*>(std::malloc(length + 1));
    if (data->data == nullptr) {
        data->len = 0;
        return;
    }
    std::copy_n(bytes, length, data->data);
    if (terminated) {
        data->data[length] = 0;
    }
    data->len = length;
}

char* copy_string(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::copy(text.begin(), text.end(), copy);
        copy[text.size()] = '\0';
    }
    return copy;
}

void init_with_sysctl_string(koprotobuf_cbinary_data* data, const char* name) {
    if (const std::optional<std::string> value = kocrash_sysctl_string(name)) {
        koprotobuf_cbinary_data_nsstring_init(data, *value);
    }
}

std::int32_t sysctl_int_or(const char* name, std::int32_t fallback) {
    std::int32_t value = 0;
    return kocrash_sysctl_int(name, &value) ? value : fallback;
}

std::string os_version_text() {
    KOCrashHostInfoVersion version;
    if (const std::optional<KOCrashHostInfo> host = KOCrashHostInfo::currentHostInfo()) {
        version = host->darwinVersion();
    }
    std::string text = std::to_string(version.major) + "." + std::to_string(version.minor);
    if (version.revision >= 1) {
        text += "." + std::to_string(version.revision);
    }
    return text;
}

void init_process_facts(kocrash_log_writer* writer, const KOCrashProcessInfo& process) {
    auto& info = writer->process_info;
    info.process_id = static_cast<std::uint32_t>(process.processID());
    if (process.processName()) {
        koprotobuf_cbinary_data_nsstring_init(&info.process_name, *process.processName());
    }
    info.start_time = static_cast<std::uint64_t>(process.startTime().tv_sec);
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        koprotobuf_cbinary_data_nsstring_init(&info.process_path, executable.native());
    }
    info.parent_process_id = static_cast<std::uint32_t>(process.parentProcessID());
    const std::optional<KOCrashProcessInfo> parent =
        KOCrashProcessInfo::initWithProcessID(process.parentProcessID());
    if (parent && parent->processName()) {
        koprotobuf_cbinary_data_nsstring_init(&info.parent_process_name, *parent->processName());
    }
}

void init_machine_facts(kocrash_log_writer* writer) {
    auto& machine = writer->machine_info;
    init_with_sysctl_string(&machine.model, "hw.model");
    machine.cpu_type = sysctl_int_or("hw.cputype", 0);
    machine.cpu_subtype = sysctl_int_or("hw.cpusubtype", 0);
    machine.processor_count = static_cast<std::uint32_t>(sysctl_int_or("hw.physicalcpu_max", 0));
    machine.logical_processor_count =
        static_cast<std::uint32_t>(sysctl_int_or("hw.logicalcpu_max", 0));
    // A failed query means the process cannot tell; it is then taken as native.
    writer->process_info.native = sysctl_int_or("sysctl.proc_native", 1) != 0;
}

// What set-up wrote must be visible to a crash on any thread (a signal handler, or the exception
// server's thread) before the next crash can read it. A sequentially consistent read-modify-write
// orders every earlier access before it, like a full fence, and unlike a bare fence it is one the
// thread sanitizer understands.
void publishToCrashTime() {
    static std::atomic<unsigned> publications{0};
    publications.fetch_add(1, std::memory_order_seq_cst);
}

} // namespace

void koprotobuf_cbinary_data_nsstring_init(koprotobuf_cbinary_data* data, std::string_view string) {
    copy_bytes(data, reinterpret_cast<const std::uint8_t*>(string.data()), string.size(), true);
}

void koprotobuf_cbinary_data_free(koprotobuf_cbinary_data* data) {
    std::free(data->data);
    data->data = nullptr;
    data->len = 0;
}

kocrash_error_t kocrash_log_writer_init(kocrash_log_writer* writer, std::string_view app_identifier,
                                        std::string_view app_version,
                                        std::optional<std::string_view> app_marketing_version,
                                        kocrash_async_symbol_strategy symbol_strategy,
                                        bool user_requested) {
    *writer = {};
    writer->symbol_strategy = symbol_strategy;
    writer->report_info.user_requested = user_requested;
    const platform::UUID::Bytes uuid = platform::UUID::random().bytes();
    std::copy(uuid.begin(), uuid.end(), writer->report_info.uuid);

    koprotobuf_cbinary_data_nsstring_init(&writer->application_info.app_identifier, app_identifier);
    koprotobuf_cbinary_data_nsstring_init(&writer->application_info.app_version, app_version);
    if (app_marketing_version) {
        koprotobuf_cbinary_data_nsstring_init(&writer->application_info.app_marketing_version,
                                              *app_marketing_version);
    }

    const std::optional<KOCrashProcessInfo> process = KOCrashProcessInfo::currentProcessInfo();
    if (!process) {
        return KOCRASH_EINVAL;
    }
    init_process_facts(writer, *process);
    init_machine_facts(writer);
    init_with_sysctl_string(&writer->system_info.build, "kern.osversion");
    koprotobuf_cbinary_data_nsstring_init(&writer->system_info.version, os_version_text());

    publishToCrashTime();
    return KOCRASH_ESUCCESS;
}

void kocrash_log_writer_set_exception(kocrash_log_writer* writer, std::string_view name,
                                      std::optional<std::string_view> reason,
                                      std::span<const std::uint64_t> call_stack_return_addresses) {
    auto& exception = writer->uncaught_exception;
    if (exception.has_exception) {
        std::fputs("[KOCrashReporter] Assertion failed: "
                   "writer->uncaught_exception.has_exception == false\n",
                   stderr);
        std::abort();
    }
    exception.name = copy_string(name);
    exception.reason = copy_string(reason.value_or(""));
    if (!call_stack_return_addresses.empty()) {
        exception.callstack =
            static_cast<std::uint64_t*>(std::malloc(call_stack_return_addresses.size_bytes()));
        if (exception.callstack != nullptr) {
            std::ranges::copy(call_stack_return_addresses, exception.callstack);
            exception.callstack_count = call_stack_return_addresses.size();
        }
    }
    // A crash may come between any two of these stores; it must find the copies complete
    // before it finds the flag.
    publishToCrashTime();
    exception.has_exception = true;
    publishToCrashTime();
}

void kocrash_log_writer_set_custom_data(kocrash_log_writer* writer,
                                        std::optional<std::span<const std::uint8_t>> data) {
    koprotobuf_cbinary_data_free(&writer->custom_data);
    if (data) {
        copy_bytes(&writer->custom_data, data->data(), data->size(), false);
    }
}

void kocrash_log_writer_free(kocrash_log_writer* writer) {
    for (koprotobuf_cbinary_data* data :
         {&writer->system_info.version, &writer->system_info.build, &writer->machine_info.model,
          &writer->application_info.app_identifier, &writer->application_info.app_version,
          &writer->application_info.app_marketing_version, &writer->process_info.process_name,
          &writer->process_info.process_path, &writer->process_info.parent_process_name,
          &writer->custom_data}) {
        koprotobuf_cbinary_data_free(data);
    }
    auto& exception = writer->uncaught_exception;
    std::free(exception.name);
    std::free(exception.reason);
    std::free(exception.callstack);
    exception = {};
}
