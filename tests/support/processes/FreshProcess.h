// A test run again, alone, in a process started anew from the test binary, for a test that needs
// what a process does once (arming a crash reporter, the install-or-update check) still undone.
// Earlier tests of the same binary may have done it, and a forked child would inherit that.
#pragma once

namespace testsupport {

// In the test's own process: runs the calling test in a new process that ends by SIGALRM after
// guardSeconds, adds a failure unless it passed there, and returns true (the caller returns).
// In the new process: false, and the caller goes on with the test.
bool ranInAFreshProcess(unsigned guardSeconds = 120);

} // namespace testsupport
