// Whole-file reads and writes for the event store, reporting why they failed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

enum class DavaRorFileCreation { replaceExisting, failIfExists };

// Writes `name`, relative to the folder descriptor `folder` (AT_FDCWD: the
// working folder), as a file only its owner may read. A symbolic link at
// `name` is refused, never written through; a file left incomplete is removed.
std::error_code writeQueueFile(int folder, const std::filesystem::path& name,
                               std::string_view contents, DavaRorFileCreation creation);

// The whole file; a file longer than `maxBytes` fails with file_too_large.
// Whatever is not a regular file, a symbolic link included, is unreadable:
// the store only ever writes plain files, a FIFO would block the reader for
// good, and through a link the store would send a file of someone else's.
std::optional<std::string> readQueueFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         std::error_code& error);

// The file's address as text, "file://" and the absolute path.
std::string fileUrlText(const std::filesystem::path& path);
