// Prints what a program has at the start of main: its open descriptors, its threads and every
// signal's disposition and the blocked set. Built with DavaRor.so linked and without it; a
// library that does nothing before setup leaves the two printing the same. With "setup", the
// linked build then sets the client up, so the link is real and used.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string_view>

#if defined(GUEST_WITH_CLIENT)
#include "support/CrashCaptureClient.h"
#endif

namespace {

int entries(const char* folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

} // namespace

int main(int argc, char** argv) {
    // The iterator's own descriptor is among those it lists.
    std::printf("descriptors %d\n", entries("/proc/self/fd") - 1);
    std::printf("threads %d\n", entries("/proc/self/task"));
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (int signo = 1; signo <= SIGRTMAX; ++signo) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) == 0) {
            // Where a handler lies changes from run to run; that there is one does not.
            const char* handler = action.sa_handler == SIG_DFL   ? "default"
                                  : action.sa_handler == SIG_IGN ? "ignored"
                                                                 : "installed";
            std::printf("signal %d %s flags %#x blocked %d\n", signo, handler,
                        static_cast<unsigned>(action.sa_flags), sigismember(&blocked, signo));
        }
    }
#if defined(GUEST_WITH_CLIENT)
    if (argc > 1 && std::string_view(argv[1]) == "setup") {
        testsupport::setUpCrashCaptureClient("com.example.davaror-guest")->close();
    }
#else
    (void)argc;
    (void)argv;
#endif
    return 0;
}
