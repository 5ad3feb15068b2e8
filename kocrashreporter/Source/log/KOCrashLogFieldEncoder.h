// The crash log's field encoder: packs one field of the crash log message in the protocol
// buffers wire format, straight into an async file.
// Crash path: everything declared here may run inside a signal handler. It allocates nothing,
// takes no locks, keeps no state and calls only kocrash_async_file_write (and abort on a
// programming error).
#pragma once

#include "async/KOCrashAsync.h"

#include <cstddef>
#include <cstdint>

// Field value types, numbered as protobuf-c numbers its field types.
enum kocrash_writer_field_type : std::uint32_t {
    KOCRASH_WRITER_TYPE_INT32 = 0,    // const std::int32_t*
    KOCRASH_WRITER_TYPE_SINT32 = 1,   // const std::int32_t*
    KOCRASH_WRITER_TYPE_SFIXED32 = 2, // const std::int32_t*
    KOCRASH_WRITER_TYPE_INT64 = 3,    // const std::int64_t*
    KOCRASH_WRITER_TYPE_SINT64 = 4,   // const std::int64_t*
    KOCRASH_WRITER_TYPE_SFIXED64 = 5, // const std::int64_t*
    KOCRASH_WRITER_TYPE_UINT32 = 6,   // const std::uint32_t*
    KOCRASH_WRITER_TYPE_FIXED32 = 7,  // const std::uint32_t*
    KOCRASH_WRITER_TYPE_UINT64 = 8,   // const std::uint64_t*
    KOCRASH_WRITER_TYPE_FIXED64 = 9,  // const std::uint64_t*
    KOCRASH_WRITER_TYPE_FLOAT = 10,   // const float*
    KOCRASH_WRITER_TYPE_DOUBLE = 11,  // const double*
    KOCRASH_WRITER_TYPE_BOOL = 12,    // one byte, written as stored (0 or 1)
    KOCRASH_WRITER_TYPE_ENUM = 13,    // const std::int32_t*
    KOCRASH_WRITER_TYPE_STRING = 14,  // const char*, zero-terminated
    KOCRASH_WRITER_TYPE_BYTES = 15,   // const kocrash_writer_bytes*
    KOCRASH_WRITER_TYPE_MESSAGE = 16, // const std::uint32_t*: the already measured body size
};

struct kocrash_writer_bytes {
    std::uint32_t len;
    const void* data;
};

// Packs field `field_id` of `type` with the value `value` points to and returns the field's
// encoded size (tag plus value). With a null file nothing is written: that is how a message
// body is measured before its length is packed. With a file, write failures are not reported;
// the result is the encoded size either way. A message field packs only its tag and length:
// the caller writes the body next. A type above 16 stops the process.
std::size_t kocrash_writer_pack(kocrash_async_file* file, std::uint32_t field_id,
                                kocrash_writer_field_type type, const void* value);

// Writes the crash log's 8-byte head ("kocrash" and the format version); false when the file
// refused it.
bool kocrash_writer_write_header(kocrash_async_file* file);
