// An async file over an anonymous in-memory file, so that tests can read back exactly the
// bytes the crash-time code wrote.
#pragma once

#include "async/KOCrashAsync.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

class CapturedAsyncFile {
public:
    CapturedAsyncFile() : fd_(memfd_create("kocrash-test", 0)) {
        if (fd_ < 0) {
            throw std::runtime_error("memfd_create failed");
        }
        kocrash_async_file_init(&file_, fd_, 0);
    }
    ~CapturedAsyncFile() { ::close(fd_); }
    CapturedAsyncFile(const CapturedAsyncFile&) = delete;
    CapturedAsyncFile& operator=(const CapturedAsyncFile&) = delete;

    kocrash_async_file* file() { return &file_; }

    // Everything written so far, buffered bytes included.
    std::vector<std::uint8_t> bytes() {
        if (!kocrash_async_file_flush(&file_)) {
            throw std::runtime_error("flush failed");
        }
        std::vector<std::uint8_t> content(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)));
        if (::pread(fd_, content.data(), content.size(), 0) !=
            static_cast<ssize_t>(content.size())) {
            throw std::runtime_error("read back failed");
        }
        return content;
    }

private:
    int fd_;
    kocrash_async_file file_;
};
