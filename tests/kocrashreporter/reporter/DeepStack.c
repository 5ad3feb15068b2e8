// Deep stacks for the size-cap test, in a library of their own: its unwind table holds one
// function, so walking a thousand threads of hundreds of frames each stays quick under the
// emulator.
#include "DeepStack.h"

__attribute__((noinline)) void kocrash_deep_descend(int depth, void (*at_bottom)(void)) {
    if (depth > 0) {
        kocrash_deep_descend(depth - 1, at_bottom);
    } else {
        at_bottom();
    }
    // Not a tail call: every level keeps its frame.
    __asm__ volatile("" ::: "memory");
}
