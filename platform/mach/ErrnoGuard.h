// Keeps errno as the interrupted code left it: a signal handler, or anything a handler calls,
// must not change the errno of the code it interrupted. Safe at crash time.
#pragma once

#include <cerrno>

namespace platform {

class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

private:
    int saved_;
};

} // namespace platform
