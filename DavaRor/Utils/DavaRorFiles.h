#pragma once

#include <filesystem>

// Removes the file or folder at `path` when something is there; a failure is
// only logged.
void deleteSafely(const std::filesystem::path& path) noexcept;

// Writes `contents` to a temporary file beside `path` and renames it over
// `path`, so a crash never leaves a torn file. Returns false on failure.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents);
