// Every thread of the library starts here. It carries a name, so that `ps -L` and a debugger
// tell it from the application's threads; it blocks the asynchronous signals, so that a signal
// sent to the process reaches a thread of the application (one that blocks SIGTERM to read it
// from a signalfd, say); and it remembers which process started it, since a forked child
// inherits none of the library's threads and must never join, wait on or signal them. Its
// stack is sized to the library's work, not to the process's default of several MiB, since a
// guest's address space is the application's.
#pragma once

#include "platform/core/ForkGeneration.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <pthread.h>

namespace platform {

// A library thread's stack: the queues, the HTTP transport and the route watcher. Sanitizers
// keep more on the stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kLibraryThreadStackBytes = 4 * 1024 * 1024;
#else
inline constexpr std::size_t kLibraryThreadStackBytes = 512 * 1024;
#endif

class LibraryThread {
public:
    LibraryThread() = default;
    // The kernel keeps 15 characters of the name. Throws std::system_error when no thread can
    // be started.
    LibraryThread(const char* name, std::function<void()> body);
    LibraryThread(LibraryThread&& other) noexcept;
    LibraryThread& operator=(LibraryThread&& other) noexcept;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;
    // A thread of this process must have been joined or detached; one of the parent is let go.
    ~LibraryThread();

    // Waits for the thread to end; returns at once in a forked child, where it does not exist.
    void join();
    void detach();
    bool joinable() const { return joinable_; }
    // Only meaningful while joinable.
    pthread_t handle() const { return handle_; }
    bool isCurrent() const { return joinable_ && pthread_equal(pthread_self(), handle_) != 0; }
    // False in a forked child: the thread was started by the parent and never ran here.
    bool runsInThisProcess() const;

private:
    void forgetThreadOfAnotherProcess();

    pthread_t handle_{};
    bool joinable_ = false;
    std::uint64_t generation_ = 0;
};

// The same for a thread that must be a bare pthread; of the caller's attributes the detach state
// is kept, and the stack is stackBytes long.
int startLibraryPthread(pthread_t* thread, const pthread_attr_t* attributes, const char* name,
                        void* (*body)(void*), void* argument,
                        std::size_t stackBytes = kLibraryThreadStackBytes);

} // namespace platform
