// Every thread of the library starts here. It carries a name, so that `ps -L` and a debugger
// tell it from the application's threads; it blocks the asynchronous signals, so that a signal
// sent to the process reaches a thread of the application (one that blocks SIGTERM to read it
// from a signalfd, say); and it remembers which process started it, since a forked child
// inherits none of the library's threads and must never join, wait on or signal them.
#pragma once

#include "platform/core/ForkGeneration.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <pthread.h>
#include <thread>

namespace platform {

class LibraryThread {
public:
    LibraryThread() = default;
    // The kernel keeps 15 characters of the name.
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
    bool joinable() const { return thread_.joinable(); }
    std::thread::id id() const { return thread_.get_id(); }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    // False in a forked child: the thread was started by the parent and never ran here.
    bool runsInThisProcess() const;

private:
    void forgetThreadOfAnotherProcess();

    std::thread thread_;
    std::uint64_t generation_ = 0;
};

// The same for a thread that must be a bare pthread (the attributes are the caller's).
int startLibraryPthread(pthread_t* thread, const pthread_attr_t* attributes, const char* name,
                        void* (*body)(void*), void* argument);

} // namespace platform
