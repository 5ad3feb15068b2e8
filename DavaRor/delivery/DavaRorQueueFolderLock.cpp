#include "DavaRor/delivery/DavaRorQueueFolderLock.h"

#include "DavaRor/Utils/DavaRorLog.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <system_error>

std::optional<DavaRorQueueFolderLock>
DavaRorQueueFolderLock::tryTake(const std::filesystem::path& folder) {
    // A link in the folder's place names someone else's folder, which is not
    // ours to lock; loading refuses it too.
    platform::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        return DavaRorQueueFolderLock(std::move(fd));
    }
    if (fd && errno == EWOULDBLOCK) {
        return std::nullopt;
    }
    const std::error_code error(errno, std::generic_category());
    davaRorLog("Sending without locking the queue folder: " + error.message());
    return DavaRorQueueFolderLock(platform::UniqueFd());
}

void DavaRorQueueFolderLock::release() {
    if (folder_) {
        ::flock(folder_.get(), LOCK_UN);
        folder_.reset();
    }
}
