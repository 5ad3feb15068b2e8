// What the client costs the loader: 10,000 dlopen+dlclose pairs with 200 other libraries loaded,
// without the client and then with it set up (crash capture on), and their ratio; then the
// image registry's use when nothing changed next to the one dl_iterate_phdr call (stopping at
// the first object) it is made of. Each figure is the median of five runs. Last, the registry's
// first use after 5,000 libraries were opened, once, and how many of them it announced.
// Usage: davaror_loader_bench <the library to copy>
#include "platform/dyld/DyldImages.h"
#include "support/CrashCaptureClient.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <link.h>
#include <stdlib.h>
#include <string>
#include <system_error>
#include <vector>

using platform::dyld::_dyld_image_count;

namespace {

constexpr int kLoaded = 200;
constexpr int kPairs = 10000;
constexpr int kChecks = 1000000;
constexpr int kRuns = 5;
constexpr int kMany = 5000;

double medianSeconds(const std::function<void()>& run) {
    std::vector<double> seconds;
    for (int index = 0; index < kRuns; ++index) {
        const auto start = std::chrono::steady_clock::now();
        run();
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[kRuns / 2];
}

void openAndClose(const std::string& path) {
    for (int pair = 0; pair < kPairs; ++pair) {
        dlclose(dlopen(path.c_str(), RTLD_NOW));
    }
}

// A fresh folder of its own under the temporary folder, so that runs side by side never share
// one; removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "davaror_loader_bench.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

int run(const std::filesystem::path& library) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(library, error)) {
        std::fprintf(stderr, "%s: %s\n", library.c_str(),
                     error ? error.message().c_str() : "not a regular file");
        return 1;
    }
    const ScratchFolder folder;
    std::filesystem::create_directories(folder.path() / "home");
    // Copies are distinct files, so the loader maps each one.
    std::vector<void*> loaded;
    for (int index = 0; index <= kLoaded; ++index) {
        const auto copy = folder.path() / ("libcopy" + std::to_string(index) + ".so");
        std::filesystem::copy_file(library, copy);
        if (index < kLoaded) {
            void* handle = dlopen(copy.c_str(), RTLD_NOW);
            if (handle == nullptr) {
                std::fprintf(stderr, "%s: not a library this process can load: %s\n",
                             library.c_str(), dlerror());
                return 1;
            }
            loaded.push_back(handle);
        }
    }
    const std::string opened =
        (folder.path() / ("libcopy" + std::to_string(kLoaded) + ".so")).string();

    const double without = medianSeconds([&] { openAndClose(opened); });
    setenv("HOME", (folder.path() / "home").c_str(), 1);
    auto client = testsupport::setUpCrashCaptureClient("com.example.loader-bench");
    const double with = medianSeconds([&] { openAndClose(opened); });
    std::printf("%d dlopen+dlclose pairs, %d libraries loaded: without the client %.3f s, with "
                "it %.3f s, ratio %.2f\n",
                kPairs, kLoaded, without, with, with / without);

    _dyld_image_count();
    const double use = medianSeconds([] {
        for (int check = 0; check < kChecks; ++check) {
            _dyld_image_count();
        }
    });
    const double call = medianSeconds([] {
        for (int check = 0; check < kChecks; ++check) {
            dl_iterate_phdr([](dl_phdr_info*, std::size_t, void*) { return 1; }, nullptr);
        }
    });
    std::printf("registry use when nothing changed %.1f ns; one dl_iterate_phdr call stopping at "
                "the first object %.1f ns\n",
                use / kChecks * 1e9, call / kChecks * 1e9);

    const std::uint32_t before = _dyld_image_count();
    for (int index = kLoaded + 1; index <= kMany; ++index) {
        const auto copy = folder.path() / ("libcopy" + std::to_string(index) + ".so");
        std::filesystem::copy_file(library, copy);
        loaded.push_back(dlopen(copy.c_str(), RTLD_NOW));
    }
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t after = _dyld_image_count();
    const double catchUp =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("registry's first use after %d more libraries were opened: %.3f s; %u of them "
                "announced, the rest left to a crash's walk of the loader's list\n",
                kMany - kLoaded, catchUp, after - before);
    client->close();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <the library to copy>\n", argv[0]);
        return 2;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", argv[0], failure.what());
        return 1;
    }
}
