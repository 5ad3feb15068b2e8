// Runs code in a forked child, for tests whose code ends or may hang the process (signals,
// faults). A child that hangs is ended by SIGALRM once its guard runs out.
#pragma once

#include <functional>

// The child leaves with _exit(0) when body returns. Returns the child's wait status.
int runInForkedChild(const std::function<void()>& body, unsigned guardSeconds = 30);

// Waits until the crash reporter's thread that announces the loaded images has ended. Under
// qemu-user a child forked while another thread runs cannot start threads of its own, and this
// is the one thread a test that made a reporter may still have running.
void waitUntilImageAnnouncerEnds();
