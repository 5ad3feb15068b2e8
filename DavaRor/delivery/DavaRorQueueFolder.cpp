#include "DavaRor/delivery/DavaRorQueueFolder.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorQueueFiles.h"
#include "platform/core/UniqueFd.h"

#include <fcntl.h>

#include <cerrno>

namespace {

std::error_code writeThroughFolder(const std::filesystem::path& path, const std::string& name,
                                   std::string_view contents) {
    const platform::UniqueFd folder(
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        return {errno, std::generic_category()};
    }
    return writeQueueFile(folder.get(), name, contents, DavaRorFileCreation::replaceExisting);
}

} // namespace

DavaRorQueueFolder::DavaRorQueueFolder(std::filesystem::path path) : path_(std::move(path)) {}

std::error_code DavaRorQueueFolder::write(const std::string& name,
                                          std::string_view contents) const {
    std::error_code error = writeThroughFolder(path_, name, contents);
    if (error != std::errc::no_such_file_or_directory) {
        return error;
    }
    // The folder was deleted under the running client; without it every
    // later event would be lost until the next launch.
    davaRorLog("Creating the missing queue folder " + path_.string());
    std::filesystem::create_directories(path_, error);
    return writeThroughFolder(path_, name, contents);
}
