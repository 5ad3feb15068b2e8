// The debugger check in child processes, one traced by its parent and one not.
#include "DavaRor/ErrorTracking/DavaRorDebugUtils.h"

#include <gtest/gtest.h>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kCannotTrace = 2;

// The child's answer: 1 for a debugger, 0 for none, kCannotTrace when tracing is not possible.
int answerOfChild(bool traced) {
    const pid_t child = fork();
    if (child == 0) {
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(kCannotTrace);
        }
        _exit(DavaRorDebugUtils::isDebuggerAttached() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DebuggerDetection, ATracedChildSeesADebuggerAndAnUntracedOneDoesNot) {
    EXPECT_EQ(answerOfChild(false), 0);
    const int traced = answerOfChild(true);
    if (traced == kCannotTrace) {
        GTEST_SKIP() << "this system lets no process be traced";
    }
    EXPECT_EQ(traced, 1);
}

} // namespace
