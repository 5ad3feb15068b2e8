// Whole-file reads and writes for the event store, reporting why they failed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

enum class DavaRorFileCreation { replaceExisting, failIfExists };

std::error_code writeQueueFile(const std::filesystem::path& path, std::string_view contents,
                               DavaRorFileCreation creation);

// The whole file; a file longer than `maxBytes` fails with file_too_large.
// Whatever is not a regular file, a symbolic link included, is unreadable:
// the store only ever writes plain files, a FIFO would block the reader for
// good, and through a link the store would send a file of someone else's.
std::optional<std::string> readQueueFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         std::error_code& error);

// The file's address as text, "file://" and the absolute path.
std::string fileUrlText(const std::filesystem::path& path);
