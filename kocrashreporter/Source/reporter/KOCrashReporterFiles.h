// Where reports live and how the reporter touches them: the base folder, the reporter's data
// folder and the application's own folder (made with 0755 whatever the process's umask), and
// the errors of the file system. Normal context only.
#pragma once

#include "KOCrashReporterError.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The given base path, else $XDG_CACHE_HOME, else ~/.cache; a leading "~" is expanded.
std::filesystem::path kocrash_reporter_base_folder(const std::optional<std::string>& basePath);

// base / data folder / identifier with every "/" replaced by "_".
std::filesystem::path kocrash_reporter_directory(const std::filesystem::path& base,
                                                 const std::string& applicationIdentifier);

// The file system's own error: POSIX domain, the errno value, its text with the path.
KOError kocrash_reporter_file_error(int errnoValue, const std::filesystem::path& path);

// The pending report's whole contents; none with the file system's error when it cannot be
// opened or read. Only a regular file at the path itself counts: a link is not followed (ELOOP),
// a folder fails with EISDIR, a FIFO or device with EINVAL without waiting for a writer, and a
// file larger than maxBytes (0: any size) with EFBIG before anything of it is read.
std::optional<std::vector<std::uint8_t>>
kocrash_reporter_read_report(const std::filesystem::path& path, std::uint64_t maxBytes,
                             std::optional<KOError>* error);

// The crash handler writes only a regular file of its own at the report path and follows no
// link there: whatever else stands in its place (folder, FIFO, link, a file with a second name
// elsewhere) is removed and logged, so that later crashes are not lost.
void kocrash_reporter_clear_report_path(const std::filesystem::path& path);

// Makes the folder and every missing parent with 0755. False with the file system's error
// when a part cannot be made or is not a folder.
bool kocrash_reporter_create_folder(const std::filesystem::path& folder,
                                    std::optional<KOError>* error);
