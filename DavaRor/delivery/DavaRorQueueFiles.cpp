#include "DavaRor/delivery/DavaRorQueueFiles.h"

#include "platform/core/RegularFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Closing reports write-back errors that the writes themselves did not.
    int close() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}

} // namespace

std::error_code writeQueueFile(int folder, const std::filesystem::path& name,
                               std::string_view contents, DavaRorFileCreation creation) {
    const int exclusive = creation == DavaRorFileCreation::failIfExists ? O_EXCL : O_TRUNC;
    FileDescriptor file(::openat(folder, name.c_str(),
                                 O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | exclusive, 0600));
    if (file.get() < 0) {
        return lastError();
    }
    while (!contents.empty()) {
        const ssize_t written = ::write(file.get(), contents.data(), contents.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            const auto error = lastError();
            file.close();
            ::unlinkat(folder, name.c_str(), 0);
            return error;
        }
        contents.remove_prefix(static_cast<size_t>(written));
    }
    if (file.close() != 0) {
        const auto error = lastError();
        ::unlinkat(folder, name.c_str(), 0);
        return error;
    }
    return {};
}

std::optional<std::string> readQueueFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         std::error_code& error) {
    return platform::readRegularFile(path, maxBytes, platform::SymbolicLinks::refuse, error);
}

std::string fileUrlText(const std::filesystem::path& path) {
    return "file://" + std::filesystem::absolute(path).string();
}
