// An application that defines names the library's Mach stand-ins and crash context once had:
// its page size, its thread_suspend and its signal_handler_context stay its own while the
// client is set up with crash capture on, reports a handled error, writes a live report and the
// report of a forked child's crash; a plug-in that looks the names up finds the application's.
// Built twice: with DavaRor.so, and with the library's archives, which must link beside these
// names.
#include "platform/foundation/NSError.h"
#include "reporter/KOCrashReporter.h"
#include "support/CrashCaptureClient.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned long kOwnPageSize = 12345;
constexpr unsigned char kOwnContextByte = 0xA5;

// Shared with forked children, so their calls count too; null until main maps it.
std::atomic<int>* suspendCalls = nullptr;
std::atomic<int> suspendCallsBeforeMain{0};

int failures = 0;

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

} // namespace

extern "C" {
unsigned long vm_page_size = kOwnPageSize;
unsigned char signal_handler_context[9781];

int thread_suspend(unsigned int) {
    ++(suspendCalls != nullptr ? *suspendCalls : suspendCallsBeforeMain);
    return 0;
}

__attribute__((noinline)) void own_names_store_through(volatile int* address) {
    *address = 1;
}
}

namespace {

bool contextUntouched() {
    for (unsigned char byte : signal_handler_context) {
        if (byte != kOwnContextByte) {
            return false;
        }
    }
    return true;
}

void checkOwnNames(const char* when) {
    std::fprintf(stderr, "checking the application's names %s\n", when);
    check(vm_page_size == kOwnPageSize, "vm_page_size keeps the application's value");
    check(contextUntouched(), "signal_handler_context keeps the application's bytes");
    check(suspendCallsBeforeMain == 0 && *suspendCalls == 0,
          "the library never calls the application's thread_suspend");
}

// A plug-in resolves names through the global scope: it must find the application's, and the
// library must define none of them.
void checkLookups() {
    check(dlsym(RTLD_DEFAULT, "vm_page_size") == &vm_page_size, "lookup finds vm_page_size");
    check(dlsym(RTLD_DEFAULT, "thread_suspend") == reinterpret_cast<void*>(&thread_suspend),
          "lookup finds thread_suspend");
    check(dlsym(RTLD_DEFAULT, "signal_handler_context") == &signal_handler_context,
          "lookup finds signal_handler_context");
#if defined(OWN_NAMES_LINKED_STATICALLY)
    void* library = nullptr;
#else
    void* library = dlopen("DavaRor.so", RTLD_NOW | RTLD_NOLOAD);
    check(library != nullptr, "DavaRor.so is loaded");
#endif
    for (const char* name : {"vm_page_size", "vm_page_mask", "thread_suspend", "thread_resume",
                             "task_threads", "mach_task_self", "NDR_record", "_dyld_image_count",
                             "signal_handler_context", "shared_image_list"}) {
        if (library != nullptr && dlsym(library, name) != nullptr) {
            std::fprintf(stderr, "DavaRor.so defines %s\n", name);
            check(false, "the library defines none of the stand-in names");
        }
    }
}

} // namespace

int main() {
    check(vm_page_size == kOwnPageSize, "loading the library leaves vm_page_size alone");
    std::memset(signal_handler_context, kOwnContextByte, sizeof signal_handler_context);
    void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        std::perror("mmap");
        return 2;
    }
    suspendCalls = new (shared) std::atomic<int>(0);
    checkLookups();

    testsupport::TemporaryDirectory home;
    testsupport::useHome(home.path());
    auto client = testsupport::setUpCrashCaptureClient("com.example.own-names");
    checkOwnNames("after setup");

    client->captureException(platform::foundation::NSError("com.example.sync", 7));
    checkOwnNames("after a handled error");

    // A live report suspends every other thread, as a crash's report does.
    KOCrashReporter reporter(KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                                   KOCrashReporterSymbolicationStrategyNone, true));
    std::thread busy([] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); });
    check(reporter.generateLiveReport().has_value(), "a live report is written");
    busy.join();
    checkOwnNames("after a live report");

    const auto report = reporter.crashReportPath();
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);
        own_names_store_through(reinterpret_cast<volatile int*>(0x10));
        _exit(0);
    }
    int status = 0;
    check(child > 0 && waitpid(child, &status, 0) == child, "the child is waited for");
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's fault handler, there before the reporter's, takes the fault once it is
    // reported, as it would without the client: it ends the child with its own exit status.
    check(WIFEXITED(status) && WEXITSTATUS(status) != 0, "the child ends by the sanitizer");
#else
    check(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV, "the child ends with its fault");
#endif
    check(std::filesystem::exists(report), "the child's crash was reported");
    checkOwnNames("after a crash in a forked child");

    client->close();
    return failures == 0 ? 0 : 1;
}
