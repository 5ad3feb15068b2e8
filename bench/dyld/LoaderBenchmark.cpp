// What the client costs the loader: 10,000 dlopen+dlclose pairs with 200 other libraries loaded,
// without the client and then with it set up (crash capture on), and their ratio; then the
// image registry's use when nothing changed next to the one dl_iterate_phdr call (stopping at
// the first object) it is made of. Each figure is the median of five runs. Last, the registry's
// first use after 5,000 libraries were opened, once, and how many of them it announced.
// Usage: davaror_loader_bench <the library to copy>
#include "platform/dyld/DyldImages.h"
#include "support/CrashCaptureClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <link.h>
#include <string>
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <the library to copy>\n", argv[0]);
        return 2;
    }
    const auto folder = std::filesystem::temp_directory_path() / "davaror_loader_bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "home");
    // Copies are distinct files, so the loader maps each one.
    std::vector<void*> loaded;
    for (int index = 0; index <= kLoaded; ++index) {
        const auto copy = folder / ("libcopy" + std::to_string(index) + ".so");
        std::filesystem::copy_file(argv[1], copy);
        if (index < kLoaded) {
            loaded.push_back(dlopen(copy.c_str(), RTLD_NOW));
        }
    }
    const std::string opened = (folder / ("libcopy" + std::to_string(kLoaded) + ".so")).string();

    const double without = medianSeconds([&] { openAndClose(opened); });
    setenv("HOME", (folder / "home").c_str(), 1);
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
        const auto copy = folder / ("libcopy" + std::to_string(index) + ".so");
        std::filesystem::copy_file(argv[1], copy);
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
    std::filesystem::remove_all(folder);
    return 0;
}
