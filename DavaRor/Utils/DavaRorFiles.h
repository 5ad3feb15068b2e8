#pragma once

#include <filesystem>

// Removes the file or folder at `path` when something is there; a failure is
// only logged.
void deleteSafely(const std::filesystem::path& path) noexcept;
