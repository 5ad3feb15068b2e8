// The queue's folder: event files are written through a descriptor of the
// folder opened without following a link, so one swapped for a symbolic link
// receives nothing. The descriptor is opened for each write and closed after
// it, so the client holds no descriptor per queue between writes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

class DavaRorQueueFolder {
public:
    explicit DavaRorQueueFolder(std::filesystem::path path);

    // Creates the file `name` in the folder. A folder deleted meanwhile is
    // made again at its path; one that is now a link fails the write.
    std::error_code write(const std::string& name, std::string_view contents) const;

private:
    const std::filesystem::path path_;
};
