#include "WriterReports.h"

#include "CapturedAsyncFile.h"
#include "log/KOCrashLogFileFormat.h"
#include "platform/dyld/DyldImages.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachVirtualMemory.h"

#include "kocrash.pb-c.h"

#include <optional>

using platform::dyld::_dyld_get_image_header;
using platform::dyld::_dyld_get_image_name;
using platform::dyld::_dyld_image_count;

using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::task_threads;

ProcessImageList::ProcessImageList() {
    kocrash_nasync_image_list_init(&list_, mach_task_self());
    for (std::uint32_t index = 0; index < _dyld_image_count(); ++index) {
        kocrash_nasync_image_list_append(
            &list_, reinterpret_cast<std::uintptr_t>(_dyld_get_image_header(index)),
            _dyld_get_image_name(index));
    }
}

ProcessImageList::~ProcessImageList() {
    kocrash_nasync_image_list_free(&list_);
}

namespace {

struct WriteCall {
    kocrash_log_writer* writer;
    kocrash_async_image_list* images;
    const ReportRequest* request;
    CapturedAsyncFile* file;
};

void write(const WriteCall& call, thread_t crashed, const kocrash_async_thread_state* state) {
    const kocrash_log_signal_info signal{&call.request->signal, call.request->mach};
    kocrash_log_writer_write(call.writer, crashed, call.images, call.file->file(), &signal, state);
}

kocrash_error_t writeWithCapturedState(kocrash_async_thread_state* state, void* context) {
    write(*static_cast<WriteCall*>(context), mach_thread_self(), state);
    return KOCRASH_ESUCCESS;
}

std::optional<std::uint64_t> readVarint(std::span<const std::uint8_t> bytes, std::size_t* at) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64 && *at < bytes.size(); shift += 7) {
        const std::uint8_t byte = bytes[(*at)++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

bool fieldsFill(std::span<const std::uint8_t> bytes, const ProtobufCMessageDescriptor* message) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::optional<std::uint64_t> tag = readVarint(bytes, &at);
        const ProtobufCFieldDescriptor* field =
            tag ? protobuf_c_message_descriptor_get_field(message, static_cast<unsigned>(*tag >> 3))
                : nullptr;
        if (field == nullptr) {
            return false;
        }
        const bool delimited = field->type == PROTOBUF_C_TYPE_STRING ||
                               field->type == PROTOBUF_C_TYPE_BYTES ||
                               field->type == PROTOBUF_C_TYPE_MESSAGE;
        if ((*tag & 7) != (delimited ? 2u : 0u)) {
            return false;
        }
        const std::optional<std::uint64_t> value = readVarint(bytes, &at);
        if (!value || (delimited && *value > bytes.size() - at)) {
            return false;
        }
        if (field->type == PROTOBUF_C_TYPE_MESSAGE &&
            !fieldsFill(bytes.subspan(at, *value),
                        static_cast<const ProtobufCMessageDescriptor*>(field->descriptor))) {
            return false;
        }
        at += delimited ? *value : 0;
    }
    return at == bytes.size();
}

} // namespace

std::vector<std::uint8_t> writeReport(kocrash_log_writer* writer, kocrash_async_image_list* images,
                                      const ReportRequest& request, bool captureCaller) {
    CapturedAsyncFile file;
    WriteCall call{writer, images, &request, &file};
    if (!captureCaller ||
        kocrash_async_thread_state_current(writeWithCapturedState, &call) != KOCRASH_ESUCCESS) {
        write(call, request.crashedThread, nullptr);
    }
    return file.bytes();
}

std::vector<thread_act_t> listedThreads() {
    thread_act_array_t threads = nullptr;
    mach_msg_type_number_t count = 0;
    if (task_threads(mach_task_self(), &threads, &count) != KERN_SUCCESS) {
        return {};
    }
    std::vector<thread_act_t> listed(threads, threads + count);
    mach_vm_deallocate(mach_task_self(), reinterpret_cast<mach_vm_address_t>(threads),
                       count * sizeof(thread_act_t));
    return listed;
}

bool lengthPrefixesMatchBodies(std::span<const std::uint8_t> report) {
    return report.size() >= KOCrashLogFileHeaderSize &&
           fieldsFill(report.subspan(KOCrashLogFileHeaderSize), &kocrash__crash_report__descriptor);
}
