#include "platform/core/LibraryThread.h"

#include "platform/mach/MachThreads.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

namespace platform {
namespace {

// The faults the crash reporter turns into reports arrive on the thread that caused them, and
// the parking signal is how it stops a thread to read its registers: these stay open. Every
// other signal is the application's.
sigset_t librarySignalMask() {
    sigset_t mask;
    sigfillset(&mask);
    for (int open : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) {
        sigdelset(&mask, open);
    }
    if (const int park = platform::mach::threadParkSignal(); park != 0) {
        sigdelset(&mask, park);
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

namespace {

struct NamedStart {
    std::string name;
    std::function<void()> body;
};

// The start record is freed before the body runs, which may end by pthread_exit. An exception
// that leaves the body finds no handler and ends the process, as from a std::thread.
void* runNamed(void* start) {
    const platform::mach::ParkSignalKeptOpen parkable;
    auto named = std::unique_ptr<NamedStart>(static_cast<NamedStart*>(start));
    pthread_setname_np(pthread_self(), named->name.c_str());
    const std::function<void()> body = std::move(named->body);
    named.reset();
    body();
    return nullptr;
}

struct PthreadStart {
    std::string name;
    void* (*body)(void*);
    void* argument;
};

void* runPthread(void* start) {
    const platform::mach::ParkSignalKeptOpen parkable;
    auto named = std::unique_ptr<PthreadStart>(static_cast<PthreadStart*>(start));
    pthread_setname_np(pthread_self(), named->name.c_str());
    auto* body = named->body;
    void* argument = named->argument;
    named.reset();
    return body(argument);
}

class ThreadAttributes {
public:
    ThreadAttributes(std::size_t stackBytes, bool detached) {
        pthread_attr_init(&attributes_);
        pthread_attr_setstacksize(&attributes_, stackBytes);
        pthread_attr_setdetachstate(&attributes_,
                                    detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    }
    ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    const pthread_attr_t* get() const { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

template <typename Start>
int startWithLibraryMask(pthread_t* thread, const ThreadAttributes& attributes, void* (*run)(void*),
                         std::unique_ptr<Start> start) {
    LibraryMaskWhileStarting mask;
    const int result = pthread_create(thread, attributes.get(), run, start.get());
    if (result == 0) {
        start.release();
    }
    return result;
}

} // namespace

LibraryThread::LibraryThread(const char* name, std::function<void()> body)
    : generation_(forkGeneration()) {
    const ThreadAttributes attributes(kLibraryThreadStackBytes, false);
    const int result =
        startWithLibraryMask(&handle_, attributes, runNamed,
                             std::make_unique<NamedStart>(NamedStart{name, std::move(body)}));
    if (result != 0) {
        throw std::system_error(result, std::generic_category(), "pthread_create");
    }
    joinable_ = true;
}

LibraryThread::LibraryThread(LibraryThread&& other) noexcept
    : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)),
      generation_(other.generation_) {}

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
    if (this != &other) {
        forgetThreadOfAnotherProcess();
        if (joinable_) {
            // As a std::thread does: a running thread would be lost.
            std::terminate();
        }
        handle_ = other.handle_;
        joinable_ = std::exchange(other.joinable_, false);
        generation_ = other.generation_;
    }
    return *this;
}

LibraryThread::~LibraryThread() {
    forgetThreadOfAnotherProcess();
    if (joinable_) {
        std::terminate();
    }
}

bool LibraryThread::runsInThisProcess() const {
    return generation_ == forkGeneration();
}

void LibraryThread::join() {
    if (!joinable_) {
        return;
    }
    if (runsInThisProcess()) {
        pthread_join(handle_, nullptr);
    }
    joinable_ = false;
}

void LibraryThread::detach() {
    if (!joinable_) {
        return;
    }
    if (runsInThisProcess()) {
        pthread_detach(handle_);
    }
    joinable_ = false;
}

// The handle names a thread of the parent: joining or detaching it would act on memory the
// parent's thread left behind, so the handle is dropped unused.
void LibraryThread::forgetThreadOfAnotherProcess() {
    if (joinable_ && !runsInThisProcess()) {
        joinable_ = false;
    }
}

int startLibraryPthread(pthread_t* thread, const pthread_attr_t* attributes, const char* name,
                        void* (*body)(void*), void* argument, std::size_t stackBytes) {
    int detachState = PTHREAD_CREATE_JOINABLE;
    if (attributes != nullptr) {
        pthread_attr_getdetachstate(attributes, &detachState);
    }
    const ThreadAttributes own(stackBytes, detachState == PTHREAD_CREATE_DETACHED);
    return startWithLibraryMask(thread, own, runPthread,
                                std::make_unique<PthreadStart>(PthreadStart{name, body, argument}));
}

} // namespace platform
