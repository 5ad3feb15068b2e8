#include "WriterPacking.h"

#include "CapturedAsyncFile.h"

#include <stdexcept>

namespace {

template <typename T> const T& member(const ProtobufCMessage* message, unsigned offset) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(message) + offset);
}

std::size_t elementSize(ProtobufCType type) {
    switch (type) {
    case PROTOBUF_C_TYPE_INT64:
    case PROTOBUF_C_TYPE_SINT64:
    case PROTOBUF_C_TYPE_SFIXED64:
    case PROTOBUF_C_TYPE_UINT64:
    case PROTOBUF_C_TYPE_FIXED64:
    case PROTOBUF_C_TYPE_DOUBLE:
        return 8;
    case PROTOBUF_C_TYPE_BOOL:
        return sizeof(protobuf_c_boolean);
    case PROTOBUF_C_TYPE_STRING:
        return sizeof(char*);
    case PROTOBUF_C_TYPE_BYTES:
        return sizeof(ProtobufCBinaryData);
    case PROTOBUF_C_TYPE_MESSAGE:
        return sizeof(ProtobufCMessage*);
    default:
        return 4;
    }
}

std::size_t packValue(kocrash_async_file* file, const ProtobufCFieldDescriptor& field,
                      const void* value) {
    const auto type = static_cast<kocrash_writer_field_type>(field.type);
    switch (field.type) {
    case PROTOBUF_C_TYPE_BOOL: {
        const bool flag = *static_cast<const protobuf_c_boolean*>(value) != 0;
        return kocrash_writer_pack(file, field.id, type, &flag);
    }
    case PROTOBUF_C_TYPE_STRING:
        return kocrash_writer_pack(file, field.id, type, *static_cast<char* const*>(value));
    case PROTOBUF_C_TYPE_BYTES: {
        const auto& data = *static_cast<const ProtobufCBinaryData*>(value);
        const kocrash_writer_bytes bytes = {static_cast<std::uint32_t>(data.len), data.data};
        return kocrash_writer_pack(file, field.id, type, &bytes);
    }
    case PROTOBUF_C_TYPE_MESSAGE: {
        const auto* nested = *static_cast<ProtobufCMessage* const*>(value);
        const auto bodySize = static_cast<std::uint32_t>(packMessageWithWriter(nullptr, nested));
        const std::size_t headSize = kocrash_writer_pack(file, field.id, type, &bodySize);
        const std::size_t written = packMessageWithWriter(file, nested);
        if (written != bodySize) {
            throw std::logic_error("measured and written message sizes differ");
        }
        return headSize + written;
    }
    default:
        return kocrash_writer_pack(file, field.id, type, value);
    }
}

bool isPresent(const ProtobufCMessage* message, const ProtobufCFieldDescriptor& field) {
    if (field.label == PROTOBUF_C_LABEL_REQUIRED) {
        return true;
    }
    if (field.type == PROTOBUF_C_TYPE_STRING || field.type == PROTOBUF_C_TYPE_MESSAGE) {
        return member<const void*>(message, field.offset) != nullptr;
    }
    return member<protobuf_c_boolean>(message, field.quantifier_offset) != 0;
}

} // namespace

std::size_t packMessageWithWriter(kocrash_async_file* file, const ProtobufCMessage* message) {
    const ProtobufCMessageDescriptor& descriptor = *message->descriptor;
    std::size_t size = 0;
    for (unsigned i = 0; i < descriptor.n_fields; ++i) {
        const ProtobufCFieldDescriptor& field = descriptor.fields[i];
        if (field.label == PROTOBUF_C_LABEL_REPEATED) {
            const auto count = member<std::size_t>(message, field.quantifier_offset);
            const auto* elements = member<const char*>(message, field.offset);
            for (std::size_t e = 0; e < count; ++e) {
                size += packValue(file, field, elements + e * elementSize(field.type));
            }
        } else if (isPresent(message, field)) {
            size += packValue(file, field, reinterpret_cast<const char*>(message) + field.offset);
        }
    }
    return size;
}

std::vector<std::uint8_t> packReportWithWriter(const ProtobufCMessage* report) {
    CapturedAsyncFile captured;
    kocrash_writer_write_header(captured.file());
    packMessageWithWriter(captured.file(), report);
    return captured.bytes();
}
