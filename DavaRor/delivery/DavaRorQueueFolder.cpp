#include "DavaRor/delivery/DavaRorQueueFolder.h"

#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/delivery/DavaRorQueueFiles.h"

#include <fcntl.h>

#include <cerrno>

namespace {

platform::UniqueFd openFolder(const std::filesystem::path& path, std::error_code& error) {
    platform::UniqueFd folder(
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        error.assign(errno, std::generic_category());
    }
    return folder;
}

} // namespace

DavaRorQueueFolder::DavaRorQueueFolder(std::filesystem::path path) : path_(std::move(path)) {
    std::error_code error;
    reopen(error);
}

std::shared_ptr<const platform::UniqueFd> DavaRorQueueFolder::descriptor() {
    std::lock_guard guard(lock_);
    return descriptor_;
}

std::shared_ptr<const platform::UniqueFd> DavaRorQueueFolder::reopen(std::error_code& error) {
    auto opened = std::make_shared<const platform::UniqueFd>(openFolder(path_, error));
    std::lock_guard guard(lock_);
    descriptor_ = *opened ? opened : nullptr;
    return descriptor_;
}

std::error_code DavaRorQueueFolder::write(const std::string& name, std::string_view contents) {
    std::error_code error;
    auto folder = descriptor();
    if (!folder && !(folder = reopen(error))) {
        return error;
    }
    error = writeQueueFile(folder->get(), name, contents, DavaRorFileCreation::replaceExisting);
    if (error != std::errc::no_such_file_or_directory) {
        return error;
    }
    // The folder was deleted under the running client; without it every
    // later event would be lost until the next launch.
    davaRorLog("Creating the missing queue folder " + path_.string());
    std::filesystem::create_directories(path_, error);
    error.clear();
    if (!(folder = reopen(error))) {
        return error;
    }
    return writeQueueFile(folder->get(), name, contents, DavaRorFileCreation::replaceExisting);
}
