#include "DavaRor/delivery/DavaRorFileBackedQueue.h"

#include "DavaRor/Utils/DavaRorFiles.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorQueueFiles.h"
#include "DavaRor/delivery/DavaRorQueueMigration.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <tuple>

using davaror::TimeBasedEpochGenerator;

namespace fs = std::filesystem;

namespace {

struct ListedFile {
    fs::file_time_type modified;
    std::string name;
};

// Oldest modification first. Linux file times are coarse, so files written
// together often share one; their names break the tie, and version-7 names
// sort in the order they were made. A file whose time cannot be read counts
// as older than everything.
std::optional<std::vector<std::string>> listByModificationTime(const fs::path& folder,
                                                               std::error_code& error) {
    std::vector<ListedFile> files;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code timeError;
        auto modified = entry->last_write_time(timeError);
        files.push_back(
            {timeError ? fs::file_time_type::min() : modified, entry->path().filename().string()});
    }
    if (error) {
        return std::nullopt;
    }
    std::sort(files.begin(), files.end(), [](const ListedFile& a, const ListedFile& b) {
        return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
    });
    std::vector<std::string> names;
    names.reserve(files.size());
    for (auto& file : files) {
        names.push_back(std::move(file.name));
    }
    return names;
}

bool isSymbolicLink(const fs::path& path) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(path, error));
}

// Event files are read under the limits of untrusted JSON: a damaged or
// planted file nested deep enough overflows the stack of whoever parses it,
// and as it is never sent it would crash every launch. Such a file counts as
// unreadable.
std::optional<std::string> readEventFile(const fs::path& file, std::string& failure,
                                         std::error_code& error) {
    auto contents = readQueueFile(file, maxUntrustedJsonBytes, error);
    if (!contents) {
        failure = error.message();
        return std::nullopt;
    }
    if (auto violation = untrustedJsonLimitViolation(*contents)) {
        failure = std::move(*violation);
        return std::nullopt;
    }
    return contents;
}

} // namespace

DavaRorFileBackedQueue::DavaRorFileBackedQueue(fs::path queue,
                                               const std::vector<fs::path>& oldQueues)
    : queue_(std::move(queue)) {
    setup(oldQueues);
    folder_ = std::make_unique<DavaRorQueueFolder>(queue_);
}

void DavaRorFileBackedQueue::setup(const std::vector<fs::path>& oldQueues) {
    std::error_code error;
    if (isSymbolicLink(queue_)) {
        // Through a link the store would send, and then delete, the files of
        // someone else's folder. The link goes; what it names stays.
        davaRorLog("The queue folder " + queue_.string() +
                   " is a symbolic link; a folder of its own replaces it");
        fs::remove(queue_, error);
    }
    fs::create_directories(queue_, error);
    if (error) {
        davaRorLog("Error trying to create caching folder " + error.message());
    }
    if (isSymbolicLink(queue_)) {
        davaRorLog("The queue folder " + queue_.string() +
                   " is still a symbolic link; the store starts empty");
        return;
    }
    for (const auto& oldQueue : oldQueues) {
        // A link is neither legacy queue, and goes as an unreadable legacy
        // file: following it would take in, and then delete, the files of
        // someone else's folder.
        std::error_code statusError;
        const auto status = fs::symlink_status(oldQueue, statusError);
        if (!fs::exists(status)) {
            continue;
        }
        if (fs::is_directory(status)) {
            migrateOldQueueFolder(queue_, oldQueue);
        } else {
            migrateOldQueue(queue_, oldQueue);
        }
    }
    std::error_code listError;
    auto names = listByModificationTime(queue_, listError);
    if (!names) {
        davaRorLog("Failed to load files for queue " + listError.message());
        return;
    }
    std::lock_guard lock(itemsLock_);
    items_.assign(std::make_move_iterator(names->begin()), std::make_move_iterator(names->end()));
}

int DavaRorFileBackedQueue::depth() const {
    std::lock_guard lock(itemsLock_);
    return static_cast<int>(items_.size());
}

bool DavaRorFileBackedQueue::add(const DavaRorEventFileContents& contents) {
    std::string name = TimeBasedEpochGenerator::shared().v7().uuidString();
    if (const auto error = folder_->write(name, contents.text())) {
        davaRorLog("Could not write file " + error.message());
        return false;
    }
    std::lock_guard lock(itemsLock_);
    items_.push_back(std::move(name));
    return true;
}

void DavaRorFileBackedQueue::deleteAt(int index) {
    std::string name;
    {
        std::lock_guard lock(itemsLock_);
        if (index < 0 || static_cast<size_t>(index) >= items_.size()) {
            return;
        }
        name = std::move(items_[static_cast<size_t>(index)]);
        items_.erase(items_.begin() + index);
    }
    deleteSafely(queue_ / name);
}

std::vector<std::string> DavaRorFileBackedQueue::names(std::size_t first, std::size_t count) const {
    std::lock_guard lock(itemsLock_);
    const auto begin = items_.begin() + static_cast<std::ptrdiff_t>(std::min(first, items_.size()));
    const auto end = begin + static_cast<std::ptrdiff_t>(
                                 std::min(count, static_cast<std::size_t>(items_.end() - begin)));
    return {begin, end};
}

void DavaRorFileBackedQueue::forget(const std::string& name) {
    std::lock_guard lock(itemsLock_);
    if (auto found = std::find(items_.begin(), items_.end(), name); found != items_.end()) {
        items_.erase(found);
    }
}

DavaRorLoadedFiles DavaRorFileBackedQueue::loadFiles(int count, std::size_t maxBytes) {
    DavaRorLoadedFiles loaded;
    if (count <= 0) {
        return loaded;
    }
    if (isSymbolicLink(queue_)) {
        davaRorLog("The queue folder " + queue_.string() +
                   " has become a symbolic link; nothing is loaded through it");
        return loaded;
    }
    std::size_t loadedBytes = 0;
    std::size_t listed = 0;
    for (auto piece = names(listed, static_cast<std::size_t>(count)); !piece.empty();
         piece = names(listed, static_cast<std::size_t>(count))) {
        listed += piece.size();
        for (auto& name : piece) {
            const fs::path file = queue_ / name;
            struct stat status {};
            if (::lstat(file.c_str(), &status) != 0) {
                davaRorLog("File " + fileUrlText(file) + " does not exist");
                loaded.names.push_back(std::move(name));
                continue;
            }
            const auto size = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
            if (!loaded.contents.empty() && size > maxBytes - std::min(maxBytes, loadedBytes)) {
                return loaded;
            }
            std::string failure;
            std::error_code error;
            if (auto contents = readEventFile(file, failure, error)) {
                loadedBytes += contents->size();
                loaded.contents.push_back(std::move(*contents));
            } else if (error == std::errc::permission_denied ||
                       error == std::errc::operation_not_permitted) {
                // Not damaged, only not ours to read: it stays for whoever may.
                davaRorLog("File " + fileUrlText(file) + " cannot be read (" + failure +
                           "); it is kept and skipped");
                forget(name);
                --listed;
                continue;
            } else {
                davaRorLog("File " + fileUrlText(file) + " is corrupted " + failure);
                deleteSafely(file);
            }
            loaded.names.push_back(std::move(name));
            if (loaded.contents.size() >= static_cast<size_t>(count)) {
                return loaded;
            }
        }
    }
    return loaded;
}

std::vector<std::string> DavaRorFileBackedQueue::peek(int count) const {
    std::vector<std::string> contents;
    if (count <= 0) {
        return contents;
    }
    std::size_t listed = 0;
    for (auto piece = names(listed, static_cast<std::size_t>(count)); !piece.empty();
         piece = names(listed, static_cast<std::size_t>(count))) {
        listed += piece.size();
        for (const auto& name : piece) {
            std::string failure;
            std::error_code error;
            if (auto read = readEventFile(queue_ / name, failure, error)) {
                contents.push_back(std::move(*read));
                if (contents.size() >= static_cast<size_t>(count)) {
                    return contents;
                }
            }
        }
    }
    return contents;
}

void DavaRorFileBackedQueue::pop(int count) {
    std::vector<std::string> popped;
    {
        std::lock_guard lock(itemsLock_);
        const auto end = items_.begin() + std::clamp<std::ptrdiff_t>(
                                              count, 0, static_cast<std::ptrdiff_t>(items_.size()));
        popped.assign(std::make_move_iterator(items_.begin()), std::make_move_iterator(end));
        items_.erase(items_.begin(), end);
    }
    for (const auto& name : popped) {
        deleteSafely(queue_ / name);
    }
}

void DavaRorFileBackedQueue::deleteFiles(const std::vector<std::string>& names) {
    std::vector<std::string> removed;
    removed.reserve(names.size());
    {
        std::lock_guard lock(itemsLock_);
        for (const auto& name : names) {
            // A batch is the oldest names in order, so each is found at the
            // front unless the list changed since the batch was loaded.
            if (!items_.empty() && items_.front() == name) {
                removed.push_back(std::move(items_.front()));
                items_.pop_front();
            } else if (auto found = std::find(items_.begin(), items_.end(), name);
                       found != items_.end()) {
                removed.push_back(std::move(*found));
                items_.erase(found);
            }
        }
    }
    // Capture waits only for the names, never for the files.
    for (const auto& name : removed) {
        deleteSafely(queue_ / name);
    }
}

void DavaRorFileBackedQueue::clear() {
    std::deque<std::string> names;
    {
        std::lock_guard lock(itemsLock_);
        names.swap(items_);
    }
    for (const auto& name : names) {
        deleteSafely(queue_ / name);
    }
}
