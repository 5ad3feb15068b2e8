// Reading files that anyone may have put in place of the expected one. An
// open of a FIFO blocks until a writer comes, and a device or a folder is no
// file's contents: only a regular file is read.
#pragma once

#include "platform/core/UniqueFd.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace platform {

// Whether a symbolic link at the path itself is followed; links among the
// folders above it always are.
enum class SymbolicLinks { follow, refuse };

// `path` opened for reading, or an empty descriptor with `error` set: the
// open's own error (ELOOP for a refused link), EISDIR for a folder, EINVAL
// for anything else that is not a regular file. Never waits on a FIFO.
UniqueFd openRegularFileForReading(const std::filesystem::path& path, SymbolicLinks links,
                                   std::error_code& error);

// The whole regular file at `path`; one longer than `maxBytes` fails with
// file_too_large.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           SymbolicLinks links, std::error_code& error);

} // namespace platform
