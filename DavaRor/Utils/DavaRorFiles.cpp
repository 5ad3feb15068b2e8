#include "DavaRor/Utils/DavaRorFiles.h"

#include "DavaRor/Utils/DavaRorLog.h"

void deleteSafely(const std::filesystem::path& path) noexcept {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        return;
    }
    std::filesystem::remove_all(path, error);
    if (error) {
        davaRorLog("Error trying to delete file " + path.string() + ": " + error.message());
    }
}
