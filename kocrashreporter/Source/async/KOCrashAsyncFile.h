// Writing at crash time: a loop that writes a whole range, and a buffered, append-only file
// writer over a descriptor the caller opened. May run at crash time: everything declared here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

inline constexpr std::size_t KOCRASH_ASYNC_FILE_BUFLEN = 256;

struct kocrash_async_file {
    int fd;
    // Most bytes the file may receive; 0 means no limit.
    std::uint64_t byte_limit;
    // Bytes accepted so far: what the file holds once flushed.
    std::uint64_t bytes_written;
    std::uint64_t buffered_length;
    std::uint8_t buffer[KOCRASH_ASYNC_FILE_BUFLEN];
    // Set by the first refused write (byte limit or failed write); every later write is refused
    // too, so the file ends at a write boundary instead of skipping a piece in the middle.
    bool refused;
};

extern "C" {

// The whole range, retrying interrupted writes. Non-negative on success, -1 on failure
// (including a write that makes no progress).
ssize_t kocrash_async_writen(int fd, const void* data, std::size_t length);

void kocrash_async_file_init(kocrash_async_file* file, int fd, std::uint64_t byte_limit);
// False when the data was refused; nothing of it is then written or buffered.
bool kocrash_async_file_write(kocrash_async_file* file, const void* data, std::size_t length);
bool kocrash_async_file_flush(kocrash_async_file* file);
// Flushes and closes the descriptor (also when the flush fails). True only for a complete
// file: no write was refused, the flush and the close succeeded.
bool kocrash_async_file_close(kocrash_async_file* file);

} // extern "C"
