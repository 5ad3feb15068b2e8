// The queue's folder, held open: event files are written into the folder the
// queue listed, so one swapped for a symbolic link later receives nothing.
#pragma once

#include "platform/core/UniqueFd.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

class DavaRorQueueFolder {
public:
    // Opens the folder at `path` if it is one; a link there is not followed.
    explicit DavaRorQueueFolder(std::filesystem::path path);

    // Creates the file `name` in the folder. A folder deleted since it was
    // opened is made again at its path and opened anew; one that is now a
    // link fails the write.
    std::error_code write(const std::string& name, std::string_view contents);

private:
    std::shared_ptr<const platform::UniqueFd> descriptor();
    std::shared_ptr<const platform::UniqueFd> reopen(std::error_code& error);

    const std::filesystem::path path_;
    std::mutex lock_;
    // Shared, so a write in progress keeps the descriptor it started with
    // while another thread opens the folder anew.
    std::shared_ptr<const platform::UniqueFd> descriptor_;
};
