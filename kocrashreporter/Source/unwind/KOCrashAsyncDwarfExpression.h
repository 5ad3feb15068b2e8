// The DWARF expression evaluator: a stack machine over the published DW_OP_* operations that
// computes a CFA or a saved register's location from the current frame's registers and the
// task's memory, over a 32-bit or a 64-bit machine word. May run at crash time: everything
// declared here (a fixed stack of the caller, task reads; no heap, no lock).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <cstddef>
#include <cstdint>

namespace kocrash::async {

// A backward branch can make an expression loop forever; a crash handler must not hang, so a
// run stops (with 5) after this many operations.
inline constexpr std::uint32_t kDwarfExpressionMaxOperations = 10000;

// A fixed stack; every operation returns false instead of acting when it cannot.
template <typename T, std::size_t N> class dwarf_stack {
public:
    bool push(T value) {
        if (depth_ == N) {
            return false;
        }
        values_[depth_++] = value;
        return true;
    }
    bool pop(T* value) {
        if (depth_ == 0) {
            return false;
        }
        *value = values_[--depth_];
        return true;
    }
    bool peek(T* value) const {
        if (depth_ == 0) {
            return false;
        }
        *value = values_[depth_ - 1];
        return true;
    }
    bool dup() {
        T top;
        return peek(&top) && push(top);
    }
    bool drop() {
        T ignored;
        return pop(&ignored);
    }
    // index 0 is the top.
    bool pick(std::size_t index) {
        if (index >= depth_ || depth_ == N) {
            return false;
        }
        return push(values_[depth_ - 1 - index]);
    }
    bool swap() {
        if (depth_ < 2) {
            return false;
        }
        T top = values_[depth_ - 1];
        values_[depth_ - 1] = values_[depth_ - 2];
        values_[depth_ - 2] = top;
        return true;
    }
    // The former top becomes the third entry, the second the top, the third the second.
    bool rotate() {
        if (depth_ < 3) {
            return false;
        }
        T top = values_[depth_ - 1];
        values_[depth_ - 1] = values_[depth_ - 2];
        values_[depth_ - 2] = values_[depth_ - 3];
        values_[depth_ - 3] = top;
        return true;
    }
    std::size_t depth() const { return depth_; }

private:
    T values_[N];
    std::size_t depth_ = 0;
};

inline constexpr std::size_t kDwarfExpressionStackSize = 100;

// Evaluates the expression at address + offset (length bytes, inside mobj) after pushing the
// initial entries in array order, and stores the final top of the stack in result. 0; 4 for
// refused operations or unmappable registers; 5 for malformed expressions (truncated operands,
// jumps out of range, impossible stack manipulations, division by zero, bad dereference sizes,
// an empty final stack, too many operations); 6 for stack overflow or a popping operation on
// too few entries; 8 for a register not known in thread_state; task read codes as they come.
template <typename word, typename signed_word>
kocrash_error_t kocrash_async_dwarf_expression_eval(
    const kocrash_async_mobject* mobj, task_t task, const kocrash_async_thread_state* thread_state,
    const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address, kocrash_vm_off_t offset,
    kocrash_vm_size_t length, const word* initial_entries, std::size_t initial_count, word* result);

extern template kocrash_error_t kocrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
    const kocrash_async_mobject*, task_t, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_vm_address_t, kocrash_vm_off_t, kocrash_vm_size_t,
    const std::uint32_t*, std::size_t, std::uint32_t*);
extern template kocrash_error_t kocrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
    const kocrash_async_mobject*, task_t, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_vm_address_t, kocrash_vm_off_t, kocrash_vm_size_t,
    const std::uint64_t*, std::size_t, std::uint64_t*);

} // namespace kocrash::async
