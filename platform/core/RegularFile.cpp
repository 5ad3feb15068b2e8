#include "platform/core/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

std::error_code lastError() {
    return {errno, std::generic_category()};
}

} // namespace

UniqueFd openRegularFileForReading(const std::filesystem::path& path, SymbolicLinks links,
                                   std::error_code& error) {
    const int noFollow = links == SymbolicLinks::refuse ? O_NOFOLLOW : 0;
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | noFollow));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0) {
        error = lastError();
        return {};
    }
    if (!S_ISREG(status.st_mode)) {
        error = std::make_error_code(S_ISDIR(status.st_mode) ? std::errc::is_a_directory
                                                             : std::errc::invalid_argument);
        return {};
    }
    error.clear();
    return file;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           SymbolicLinks links, std::error_code& error) {
    const UniqueFd file = openRegularFileForReading(path, links, error);
    if (!file) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            error = lastError();
            return std::nullopt;
        }
        if (count == 0) {
            return contents;
        }
        if (static_cast<std::size_t>(count) > maxBytes - contents.size()) {
            error = std::make_error_code(std::errc::file_too_large);
            return std::nullopt;
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
}

} // namespace platform
