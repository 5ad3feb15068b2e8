// Opens libraries as the loader's cases need and prints, on a line of its own that starts with
// "case", whether a handle came back, which file the loader mapped for it and the loader's error
// text. Built twice, with
// the client set up (crash capture on) and without it: the two must print the same. The
// "fork-pattern" case forks while a thread that holds an application mutex opens libraries,
// with an atfork handler on that mutex registered before the client.
// Usage: loader-rows-{with,without}-client <fixtures folder> <case>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#if defined(LOADER_ROWS_WITH_CLIENT)
#include "support/CrashCaptureClient.h"
#endif

extern "C" void* row_runpath_open(const char* file, int mode);
extern "C" void* row_plain_open(const char* file, int mode);
extern "C" void* row_nodeflib_open(const char* file, int mode);

namespace {

std::string fixtures;
pthread_mutex_t applicationMutex = PTHREAD_MUTEX_INITIALIZER;

void print(const char* row, void* handle) {
    const char* error = handle == nullptr ? dlerror() : nullptr;
    link_map* object = nullptr;
    if (handle != nullptr) {
        dlinfo(handle, RTLD_DI_LINKMAP, &object);
    }
    std::printf("case %s handle=%s file=%s error=%s\n", row, handle != nullptr ? "set" : "null",
                object != nullptr ? object->l_name : "-", error != nullptr ? error : "-");
}

void* openPath(const std::string& relative, int mode = RTLD_NOW) {
    return dlopen((fixtures + "/" + relative).c_str(), mode);
}

// An ELF header of the other class, padded to the length the loader reads first.
void writeElf32(const std::string& path) {
    struct {
        Elf32_Ehdr header;
        std::uint8_t padding[1024];
    } file{};
    Elf32_Ehdr& header = file.header;
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS32;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_machine = EM_386;
    header.e_version = EV_CURRENT;
    header.e_ehsize = sizeof(header);
    header.e_phentsize = sizeof(Elf32_Phdr);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, &file, sizeof(file));
        close(fd);
    }
}

constexpr int kForks = 200;

void forkPattern() {
    std::atomic<bool> done{false};
    std::thread opener([&] {
        while (!done.load()) {
            pthread_mutex_lock(&applicationMutex);
            if (void* handle = openPath("same_a/libs.so")) {
                dlclose(handle);
            }
            pthread_mutex_unlock(&applicationMutex);
        }
    });
    int exited = 0;
    for (int fork = 0; fork < kForks; ++fork) {
        const pid_t child = ::fork();
        if (child == 0) {
            void* handle = openPath("same_b/libs.so");
            _exit(handle != nullptr ? 0 : 1);
        }
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0) {
            ++exited;
        }
    }
    done.store(true);
    opener.join();
    std::printf("case fork-pattern forks=%d exited=%d\n", kForks, exited);
}

const std::map<std::string, std::function<void(const char*)>> rows = {
    {"origin-executable",
     [](const char* row) { print(row, dlopen("$ORIGIN/plug/libp.so", RTLD_NOW)); }},
    {"origin-library",
     [](const char* row) { print(row, row_plain_open("$ORIGIN/plug/libp.so", RTLD_NOW)); }},
    {"rpath-of-loader", [](const char* row) { print(row, row_plain_open("libq.so", RTLD_NOW)); }},
    {"hwcaps", [](const char* row) { print(row, row_runpath_open("libh.so", RTLD_NOW)); }},
    {"hwcaps-only", [](const char* row) { print(row, row_runpath_open("libhonly.so", RTLD_NOW)); }},
    {"runpath-lib", [](const char* row) { print(row, row_runpath_open("libl.so", RTLD_NOW)); }},
    {"nodeflib", [](const char* row) { print(row, row_nodeflib_open("libanl.so.1", RTLD_NOW)); }},
    {"same-name",
     [](const char* row) {
         openPath("same_a/libs.so");
         print(row, row_runpath_open("libs.so", RTLD_NOW));
     }},
    {"noload",
     [](const char* row) {
         openPath("noload/libn.so");
         print(row, dlopen("libn.so", RTLD_NOW | RTLD_NOLOAD));
     }},
    {"wrong-class",
     [](const char* row) {
         writeElf32(fixtures + "/class32/libw.so");
         print(row, row_runpath_open("libw.so", RTLD_NOW));
     }},
    {"unreadable", [](const char* row) { print(row, row_runpath_open("libu.so", RTLD_NOW)); }},
    {"library-path", [](const char* row) { print(row, row_runpath_open("libe.so", RTLD_NOW)); }},
    {"fork-pattern", [](const char*) { forkPattern(); }},
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || !rows.contains(argv[2])) {
        std::fprintf(stderr, "usage: %s <fixtures folder> <case>\n", argv[0]);
        return 2;
    }
    fixtures = argv[1];
    pthread_atfork([] { pthread_mutex_lock(&applicationMutex); },
                   [] { pthread_mutex_unlock(&applicationMutex); },
                   [] { pthread_mutex_unlock(&applicationMutex); });
#if defined(LOADER_ROWS_WITH_CLIENT)
    auto client = testsupport::setUpCrashCaptureClient("com.example.loader-rows");
#endif
    rows.at(argv[2])(argv[2]);
    std::fflush(stdout);
    // Without the client's own teardown, which the comparison does not look at.
    _exit(0);
}
