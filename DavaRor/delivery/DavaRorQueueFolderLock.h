// Keeps the processes that share an event folder (two launches of one
// application with the same key) from sending the same files: the holder
// takes a batch, sends it and deletes its files before anyone else may take
// one. The lock is advisory and on the folder itself, so the folder gains no
// entry that the store would take for an event, and the kernel releases it
// when its holder dies, however it dies.
#pragma once

#include "platform/core/UniqueFd.h"

#include <filesystem>
#include <optional>

class DavaRorQueueFolderLock {
public:
    // Never waits: a holder keeps the lock for as long as its upload takes,
    // and a delivery thread stuck behind a stalled holder would refuse every
    // flush meanwhile. None when someone else holds the lock; the next flush
    // tries again. A folder that cannot be locked (it was deleted, with its
    // files) gives a lock that holds nothing, so that batch still goes.
    static std::optional<DavaRorQueueFolderLock> tryTake(const std::filesystem::path& folder);

    DavaRorQueueFolderLock(DavaRorQueueFolderLock&&) = default;
    DavaRorQueueFolderLock& operator=(DavaRorQueueFolderLock&&) = delete;
    ~DavaRorQueueFolderLock() { release(); }

    // Unlocks before closing: a child forked meanwhile shares the descriptor,
    // and closing alone would leave the folder locked for as long as it lives.
    void release();

private:
    explicit DavaRorQueueFolderLock(platform::UniqueFd folder) : folder_(std::move(folder)) {}

    platform::UniqueFd folder_;
};
