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

// The file's whole contents; none with the file system's error when it cannot be opened or
// read (a folder in its place, say).
std::optional<std::vector<std::uint8_t>>
kocrash_reporter_read_file(const std::filesystem::path& path, std::optional<KOError>* error);

// Makes the folder and every missing parent with 0755. False with the file system's error
// when a part cannot be made or is not a folder.
bool kocrash_reporter_create_folder(const std::filesystem::path& folder,
                                    std::optional<KOError>* error);
