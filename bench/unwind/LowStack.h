// Runs a function on a stack of its own below 64 GiB: the crash reporter's 64-bit ARM thread
// state keeps the low 36 bits of frame and stack pointers (the rest are pointer-authentication
// bits there), so frames read through it must lie below that line.
#pragma once

#include <cstddef>

class LowStack {
public:
    explicit LowStack(std::size_t size);
    ~LowStack();
    LowStack(const LowStack&) = delete;
    LowStack& operator=(const LowStack&) = delete;

    // Returns once function(context) has returned on the low stack.
    void run(void (*function)(void*), void* context);

private:
    void* base_;
    std::size_t size_;
};
