// A fresh folder under the temporary folder ($TMPDIR, else /tmp), removed with everything
// in it when the object goes away.
#pragma once

#include <filesystem>

namespace deliverybench {

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace deliverybench
