#include "DavaRor/Utils/DavaRorFiles.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "platform/core/UUID.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void deleteSafely(const std::filesystem::path& path) noexcept {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        return;
    }
    std::filesystem::remove_all(path, error);
    if (error) {
        davaRorLog("Error trying to delete file " + path.string() + ": " + error.message());
    }
}

namespace {
bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}
} // namespace

bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    auto temporary = path;
    temporary += "." + platform::UUID::random().uuidString() + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}
