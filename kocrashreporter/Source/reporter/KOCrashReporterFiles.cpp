#include "reporter/KOCrashReporterFiles.h"

#include "KOCrashLog.h"
#include "platform/core/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using kocrash::NSPOSIXErrorDomain;

namespace {

constexpr const char* kDataFolderName = "com.davaror.crashreporter";

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::filesystem::path expandTilde(const std::string& path) {
    if (path == "~" || path.starts_with("~/")) {
        return homeFolder() + path.substr(1);
    }
    return path;
}

} // namespace

std::filesystem::path kocrash_reporter_base_folder(const std::optional<std::string>& basePath) {
    if (basePath) {
        return expandTilde(*basePath);
    }
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache != '\0') {
        return expandTilde(cache);
    }
    return std::filesystem::path(homeFolder()) / ".cache";
}

std::filesystem::path kocrash_reporter_directory(const std::filesystem::path& base,
                                                 const std::string& applicationIdentifier) {
    std::string folderName = applicationIdentifier;
    std::replace(folderName.begin(), folderName.end(), '/', '_');
    return base / kDataFolderName / folderName;
}

KOError kocrash_reporter_file_error(int errnoValue, const std::filesystem::path& path) {
    return KOError(std::string(NSPOSIXErrorDomain), errnoValue,
                   path.string() + ": " + std::strerror(errnoValue));
}

std::optional<std::vector<std::uint8_t>>
kocrash_reporter_read_report(const std::filesystem::path& path, std::uint64_t maxBytes,
                             std::optional<KOError>* error) {
    const auto failed = [&](int errnoValue) {
        if (error != nullptr) {
            *error = kocrash_reporter_file_error(errnoValue, path);
        }
        return std::nullopt;
    };
    const auto fits = [maxBytes](std::uint64_t size) { return maxBytes == 0 || size <= maxBytes; };
    std::error_code openError;
    const platform::UniqueFd file =
        platform::openRegularFileForReading(path, platform::SymbolicLinks::refuse, openError);
    if (openError) {
        return failed(openError.value());
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        return failed(errno);
    }
    if (!fits(static_cast<std::uint64_t>(status.st_size))) {
        return failed(EFBIG);
    }
    std::vector<std::uint8_t> contents;
    contents.reserve(static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)));
    std::uint8_t chunk[16384];
    for (;;) {
        const ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got == 0) {
            return contents;
        }
        if (got > 0) {
            contents.insert(contents.end(), chunk, chunk + got);
            // It grew since it was measured.
            if (!fits(contents.size())) {
                return failed(EFBIG);
            }
        } else if (errno != EINTR) {
            return failed(errno);
        }
    }
}

void kocrash_reporter_clear_report_path(const std::filesystem::path& path) {
    struct stat status {};
    // A regular file with a second name elsewhere is someone else's file too: a crash must not
    // empty it.
    if (lstat(path.c_str(), &status) != 0 || (S_ISREG(status.st_mode) && status.st_nlink == 1)) {
        return;
    }
    // A link goes, not what it names.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) {
        kocrash_log(
            "[KOCrashReporter] Could not remove %s, which is not a regular file of its own: %s",
            path.c_str(), error.message().c_str());
    } else {
        kocrash_log("[KOCrashReporter] Removed %s: a crash report can be written only to a "
                    "regular file of its own there",
                    path.c_str());
    }
}

static bool failWith(std::optional<KOError>* error, int errnoValue,
                     const std::filesystem::path& path) {
    if (error != nullptr) {
        *error = kocrash_reporter_file_error(errnoValue, path);
    }
    return false;
}

bool kocrash_reporter_create_folder(const std::filesystem::path& folder,
                                    std::optional<KOError>* error) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        struct stat status {};
        if (stat(partial.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                return failWith(error, ENOTDIR, partial);
            }
            continue;
        }
        // The umask would narrow mkdir's mode; the folders are meant to be 0755 exactly.
        if ((mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) ||
            chmod(partial.c_str(), 0755) != 0) {
            return failWith(error, errno, partial);
        }
    }
    return true;
}
