// The persistent first-in-first-out store under each event queue: one folder,
// one file per event, and the file names in memory, oldest first. A batch
// costs in proportion to its own size, however many events wait behind it.
#pragma once

#include "DavaRor/delivery/DavaRorEventFileContents.h"
#include "DavaRor/delivery/DavaRorQueueFolder.h"

#include <cstddef>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What one load took from the store. `names` lists every name the load used
// up, in list order: those whose contents were read, and those whose file was
// missing or unreadable. Deleting exactly these names after the upload keeps
// unsent events even when the list changed in between.
struct DavaRorLoadedFiles {
    std::vector<std::string> contents;
    std::vector<std::string> names;
};

class DavaRorFileBackedQueue {
public:
    // Creates the folder, takes over the legacy locations (folders and single
    // files, in the given order) and lists the stored files, all before it
    // returns.
    DavaRorFileBackedQueue(std::filesystem::path queue,
                           const std::vector<std::filesystem::path>& oldQueues);
    DavaRorFileBackedQueue(const DavaRorFileBackedQueue&) = delete;
    DavaRorFileBackedQueue& operator=(const DavaRorFileBackedQueue&) = delete;

    const std::filesystem::path& queue() const { return queue_; }
    int depth() const;

    // Only checked contents: whatever is written here must pass loadFiles.
    // False, with the failure logged, when the file could not be written.
    bool add(const DavaRorEventFileContents& contents);
    // Removes the name at `index` and its file; an index past the end does nothing.
    void deleteAt(int index);
    // The contents of the oldest files, up to `count` of them and, past the
    // first, up to `maxBytes` in all (the first is taken whatever its size).
    // A file that cannot be read, or holds text over the limits of untrusted
    // JSON, is deleted and skipped; one that the process may not read is kept
    // on disk, skipped and no longer listed. Nothing is loaded while the
    // folder is a symbolic link.
    DavaRorLoadedFiles loadFiles(int count,
                                 std::size_t maxBytes = std::numeric_limits<std::size_t>::max());
    // Removes these names and their files; names no longer listed are skipped.
    void deleteFiles(const std::vector<std::string>& names);
    // The contents of the oldest files, up to `count` of them, changing nothing:
    // files that cannot be read are skipped and left for loadFiles to handle.
    std::vector<std::string> peek(int count) const;
    // Removes the oldest `count` names and their files.
    void pop(int count);
    // Removes every name and its file.
    void clear();

private:
    // Up to `count` names from the `first`-th oldest on. Names are only ever
    // appended, so a list read piece by piece never yields one twice; one
    // removed meanwhile only moves the rest forward.
    std::vector<std::string> names(std::size_t first, std::size_t count) const;
    void forget(const std::string& name);
    void setup(const std::vector<std::filesystem::path>& oldQueues);

    const std::filesystem::path queue_;
    std::unique_ptr<DavaRorQueueFolder> folder_;
    std::deque<std::string> items_;
    mutable std::mutex itemsLock_;
};
