#include "platform/core/LibraryThread.h"

#include "platform/mach/MachThreads.h"

#include <csignal>
#include <memory>
#include <string>

namespace platform {
namespace {

// The faults the crash reporter turns into reports arrive on the thread that caused them, and
// the parking signal is how it stops a thread to read its registers: these stay open. Every
// other signal is the application's.
sigset_t librarySignalMask() {
    sigset_t mask;
    sigfillset(&mask);
    for (int open :
         {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, platform::mach::threadParkSignal()}) {
        sigdelset(&mask, open);
    }
    return mask;
}

// A new thread starts with its creator's mask, so no signal reaches it before it blocks one.
// The creator gets its own mask back however the start ends.
class LibraryMaskWhileStarting {
public:
    LibraryMaskWhileStarting() {
        const sigset_t mask = librarySignalMask();
        pthread_sigmask(SIG_SETMASK, &mask, &saved_);
    }
    ~LibraryMaskWhileStarting() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    LibraryMaskWhileStarting(const LibraryMaskWhileStarting&) = delete;
    LibraryMaskWhileStarting& operator=(const LibraryMaskWhileStarting&) = delete;

private:
    sigset_t saved_;
};

} // namespace

LibraryThread::LibraryThread(const char* name, std::function<void()> body)
    : generation_(forkGeneration()) {
    LibraryMaskWhileStarting mask;
    thread_ = std::thread([name = std::string(name), body = std::move(body)] {
        pthread_setname_np(pthread_self(), name.c_str());
        body();
    });
}

LibraryThread::LibraryThread(LibraryThread&& other) noexcept
    : thread_(std::move(other.thread_)), generation_(other.generation_) {}

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
    if (this != &other) {
        forgetThreadOfAnotherProcess();
        thread_ = std::move(other.thread_);
        generation_ = other.generation_;
    }
    return *this;
}

LibraryThread::~LibraryThread() {
    forgetThreadOfAnotherProcess();
}

bool LibraryThread::runsInThisProcess() const {
    return generation_ == forkGeneration();
}

void LibraryThread::join() {
    if (runsInThisProcess()) {
        thread_.join();
    } else {
        forgetThreadOfAnotherProcess();
    }
}

void LibraryThread::detach() {
    if (runsInThisProcess()) {
        thread_.detach();
    } else {
        forgetThreadOfAnotherProcess();
    }
}

// The handle names a thread of the parent: joining or detaching it would act on memory the
// parent's thread left behind, so the handle is dropped unused.
void LibraryThread::forgetThreadOfAnotherProcess() {
    if (thread_.joinable() && !runsInThisProcess()) {
        leaveToParent(thread_);
    }
}

namespace {

struct NamedStart {
    std::string name;
    void* (*body)(void*);
    void* argument;
};

// The start record is freed before the body runs, which may end by pthread_exit.
void* startNamed(void* start) {
    auto named = std::unique_ptr<NamedStart>(static_cast<NamedStart*>(start));
    pthread_setname_np(pthread_self(), named->name.c_str());
    auto* body = named->body;
    void* argument = named->argument;
    named.reset();
    return body(argument);
}

} // namespace

int startLibraryPthread(pthread_t* thread, const pthread_attr_t* attributes, const char* name,
                        void* (*body)(void*), void* argument) {
    auto start = std::make_unique<NamedStart>(NamedStart{name, body, argument});
    LibraryMaskWhileStarting mask;
    const int result = pthread_create(thread, attributes, startNamed, start.get());
    if (result == 0) {
        start.release();
    }
    return result;
}

} // namespace platform
