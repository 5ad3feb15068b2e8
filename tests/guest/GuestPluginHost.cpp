// An application that opens a plug-in bringing DavaRor.so, sets it up, closes it and closes the
// plug-in, 20 times, then runs on for 30 s. Prints whether DavaRor.so stayed mapped, and the
// threads and descriptors after the first cycle and after the last; exit 0 when it survived,
// stayed and they match.
// Usage: guest-plugin-host <plug-in path> [seconds to run on]
#include "ForkedChild.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <thread>

namespace {

// Threads that a close let go end on their own a moment later, and the thread that describes the
// loaded libraries once, after the first setup, when it is done.
int entries(const char* folder) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    waitUntilImageAnnouncerEnds();
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

bool cycle(const char* plugin) {
    void* handle = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return false;
    }
    auto* setUp = reinterpret_cast<void (*)()>(dlsym(handle, "guest_plugin_set_up"));
    auto* close = reinterpret_cast<void (*)()>(dlsym(handle, "guest_plugin_close"));
    if (setUp == nullptr || close == nullptr) {
        return false;
    }
    setUp();
    close();
    return dlclose(handle) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug-in path> [seconds to run on]\n", argv[0]);
        return 2;
    }
    int afterFirst[2] = {};
    for (int round = 0; round < 20; ++round) {
        if (!cycle(argv[1])) {
            return 1;
        }
        if (round == 0) {
            afterFirst[0] = entries("/proc/self/task");
            afterFirst[1] = entries("/proc/self/fd");
        }
    }
    // Still mapped: its threads and handlers may run after any dlclose.
    const bool stayed = dlopen("DavaRor.so", RTLD_NOW | RTLD_NOLOAD) != nullptr;
    const int threads = entries("/proc/self/task");
    const int descriptors = entries("/proc/self/fd");
    std::printf("stayed %d\nthreads %d then %d\ndescriptors %d then %d\n", stayed, afterFirst[0],
                threads, afterFirst[1], descriptors);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 30));
    return stayed && threads == afterFirst[0] && descriptors == afterFirst[1] ? 0 : 1;
}
