// Crash path: runs inside signal handlers. No allocation, no locks, no library calls but
// kocrash_async_file_write and abort; compiled with -fno-builtin so that the compiler adds
// no memcpy or memset either.
#include "log/KOCrashLogFieldEncoder.h"

#include "log/KOCrashLogFileFormat.h"

#include <cstdlib>

namespace {

enum wire_type : std::uint8_t {
    WIRE_VARINT = 0,
    WIRE_64BIT = 1,
    WIRE_LENGTH_DELIMITED = 2,
    WIRE_32BIT = 5,
};

// A tag and a value head: two 10-byte varints at most.
constexpr std::size_t max_head_size = 20;

std::size_t put_varint(std::uint8_t* out, std::uint64_t value) {
    std::size_t length = 0;
    while (value >= 0x80) {
        out[length++] = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[length++] = static_cast<std::uint8_t>(value);
    return length;
}

std::size_t put_little_endian(std::uint8_t* out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return size;
}

// Unsigned arithmetic, so that the most negative values do not overflow.
std::uint64_t zigzag32(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    return static_cast<std::uint32_t>((bits << 1) ^ (value < 0 ? 0xFFFFFFFFu : 0u));
}

std::uint64_t zigzag64(std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    return (bits << 1) ^ (value < 0 ? ~std::uint64_t{0} : 0u);
}

template <typename T> T load(const void* value) {
    return *static_cast<const T*>(value);
}

std::size_t string_length(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

wire_type wire_type_of(kocrash_writer_field_type type) {
    switch (type) {
    case KOCRASH_WRITER_TYPE_SFIXED32:
    case KOCRASH_WRITER_TYPE_FIXED32:
    case KOCRASH_WRITER_TYPE_FLOAT:
        return WIRE_32BIT;
    case KOCRASH_WRITER_TYPE_SFIXED64:
    case KOCRASH_WRITER_TYPE_FIXED64:
    case KOCRASH_WRITER_TYPE_DOUBLE:
        return WIRE_64BIT;
    case KOCRASH_WRITER_TYPE_STRING:
    case KOCRASH_WRITER_TYPE_BYTES:
    case KOCRASH_WRITER_TYPE_MESSAGE:
        return WIRE_LENGTH_DELIMITED;
    default:
        return WIRE_VARINT;
    }
}

template <typename Float> std::uint64_t float_bits(const void* value) {
    // Byte copy instead of a cast, which would break strict aliasing.
    std::uint64_t bits = 0;
    const auto* bytes = static_cast<const std::uint8_t*>(value);
    for (std::size_t i = 0; i < sizeof(Float); ++i) {
        bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    }
    return bits;
}

} // namespace

std::size_t kocrash_writer_pack(kocrash_async_file* file, std::uint32_t field_id,
                                kocrash_writer_field_type type, const void* value) {
    if (type > KOCRASH_WRITER_TYPE_MESSAGE) {
        abort();
    }
    std::uint8_t head[max_head_size];
    // Computed in 64 bits so that field numbers from 2^29 up keep their high bits.
    std::size_t length = put_varint(head, static_cast<std::uint64_t>(field_id) << 3);
    head[0] |= wire_type_of(type);

    const void* content = nullptr;
    std::size_t content_length = 0;
    switch (type) {
    case KOCRASH_WRITER_TYPE_INT32:
        // Negative values are sign-extended: ten bytes.
        length += put_varint(head + length, static_cast<std::uint64_t>(static_cast<std::int64_t>(
                                                load<std::int32_t>(value))));
        break;
    case KOCRASH_WRITER_TYPE_SINT32:
        length += put_varint(head + length, zigzag32(load<std::int32_t>(value)));
        break;
    case KOCRASH_WRITER_TYPE_SFIXED32:
    case KOCRASH_WRITER_TYPE_FIXED32:
        length += put_little_endian(head + length, load<std::uint32_t>(value), 4);
        break;
    case KOCRASH_WRITER_TYPE_INT64:
    case KOCRASH_WRITER_TYPE_UINT64:
        length += put_varint(head + length, load<std::uint64_t>(value));
        break;
    case KOCRASH_WRITER_TYPE_SINT64:
        length += put_varint(head + length, zigzag64(load<std::int64_t>(value)));
        break;
    case KOCRASH_WRITER_TYPE_SFIXED64:
    case KOCRASH_WRITER_TYPE_FIXED64:
        length += put_little_endian(head + length, load<std::uint64_t>(value), 8);
        break;
    case KOCRASH_WRITER_TYPE_UINT32:
        length += put_varint(head + length, load<std::uint32_t>(value));
        break;
    case KOCRASH_WRITER_TYPE_FLOAT:
        length += put_little_endian(head + length, float_bits<float>(value), 4);
        break;
    case KOCRASH_WRITER_TYPE_DOUBLE:
        length += put_little_endian(head + length, float_bits<double>(value), 8);
        break;
    case KOCRASH_WRITER_TYPE_BOOL:
        head[length++] = load<std::uint8_t>(value);
        break;
    case KOCRASH_WRITER_TYPE_ENUM:
        // Taken as unsigned 32-bit: a negative value takes five bytes.
        length += put_varint(head + length, static_cast<std::uint32_t>(load<std::int32_t>(value)));
        break;
    case KOCRASH_WRITER_TYPE_STRING:
        content = value;
        content_length = string_length(static_cast<const char*>(value));
        length += put_varint(head + length, content_length);
        break;
    case KOCRASH_WRITER_TYPE_BYTES: {
        const auto* bytes = static_cast<const kocrash_writer_bytes*>(value);
        content = bytes->data;
        content_length = bytes->len;
        length += put_varint(head + length, content_length);
        break;
    }
    case KOCRASH_WRITER_TYPE_MESSAGE:
        length += put_varint(head + length, load<std::uint32_t>(value));
        break;
    }

    if (file != nullptr) {
        kocrash_async_file_write(file, head, length);
        if (content_length > 0) {
            kocrash_async_file_write(file, content, content_length);
        }
    }
    return length + content_length;
}

bool kocrash_writer_write_header(kocrash_async_file* file) {
    std::uint8_t header[KOCrashLogFileHeaderSize];
    for (std::size_t i = 0; i < KOCrashLogFileMagic.size(); ++i) {
        header[i] = KOCrashLogFileMagic[i];
    }
    header[KOCrashLogFileMagic.size()] = KOCrashLogFileVersion;
    return kocrash_async_file_write(file, header, sizeof(header));
}
