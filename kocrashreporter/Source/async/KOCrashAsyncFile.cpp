// May run at crash time: everything in this file (write and close system calls, copies into the
// caller's buffer).
#include "async/KOCrashAsyncFile.h"

#include "async/KOCrashAsyncString.h"

#include <cerrno>
#include <unistd.h>

ssize_t kocrash_async_writen(int fd, const void* data, std::size_t length) {
    auto* next = static_cast<const std::uint8_t*>(data);
    std::size_t remaining = length;
    while (remaining > 0) {
        ssize_t written = write(fd, next, remaining);
        if (written > 0) {
            next += written;
            remaining -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return -1;
        }
    }
    return static_cast<ssize_t>(length);
}

void kocrash_async_file_init(kocrash_async_file* file, int fd, std::uint64_t byte_limit) {
    file->fd = fd;
    file->byte_limit = byte_limit;
    file->bytes_written = 0;
    file->buffered_length = 0;
    file->refused = false;
}

static bool refuse(kocrash_async_file* file) {
    file->refused = true;
    return false;
}

bool kocrash_async_file_write(kocrash_async_file* file, const void* data, std::size_t length) {
    if (file->refused) {
        return false;
    }
    // Compared by subtraction: bytes_written never exceeds the limit, so nothing wraps.
    if (file->byte_limit != 0 && length > file->byte_limit - file->bytes_written) {
        return refuse(file);
    }
    file->bytes_written += length;
    if (file->buffered_length + length > KOCRASH_ASYNC_FILE_BUFLEN) {
        if (kocrash_async_writen(file->fd, file->buffer, file->buffered_length) < 0) {
            return refuse(file);
        }
        file->buffered_length = 0;
    }
    if (file->buffered_length + length <= KOCRASH_ASYNC_FILE_BUFLEN) {
        kocrash_async_memcpy(file->buffer + file->buffered_length, data, length);
        file->buffered_length += length;
        return true;
    }
    if (kocrash_async_writen(file->fd, data, length) < 0) {
        return refuse(file);
    }
    return true;
}

bool kocrash_async_file_flush(kocrash_async_file* file) {
    if (file->buffered_length == 0) {
        return true;
    }
    if (kocrash_async_writen(file->fd, file->buffer, file->buffered_length) < 0) {
        return refuse(file);
    }
    file->buffered_length = 0;
    return true;
}

bool kocrash_async_file_close(kocrash_async_file* file) {
    bool flushed = kocrash_async_file_flush(file);
    bool closed = close(file->fd) == 0;
    file->fd = -1;
    return flushed && closed && !file->refused;
}
