#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// Writes `contents` to a new file beside `path`, flushes it to disk and
// renames it over `path`, so readers see the old or the new contents and
// never a torn file. Creates missing parent folders. False on failure, with
// nothing left behind.
bool replaceFileAtomically(const std::filesystem::path& path, std::string_view contents);

} // namespace platform
