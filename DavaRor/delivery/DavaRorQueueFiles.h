// Whole-file reads and writes for the event store, reporting why they failed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

enum class DavaRorFileCreation { replaceExisting, failIfExists };

std::error_code writeQueueFile(const std::filesystem::path& path, std::string_view contents,
                               DavaRorFileCreation creation);

std::optional<std::string> readQueueFile(const std::filesystem::path& path, std::error_code& error);

// The file's address as text, "file://" and the absolute path.
std::string fileUrlText(const std::filesystem::path& path);
