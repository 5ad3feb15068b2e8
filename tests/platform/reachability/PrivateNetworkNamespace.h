#pragma once

#include <string>
#include <vector>

// Runs a test inside a private user and network namespace of its own, where
// it may create links and routes freely. The test body reads:
//
//     if (!insidePrivateNetworkNamespace()) {
//         runCurrentTestInPrivateNetworkNamespace();
//         return;
//     }
//     ... the real test ...
namespace netns {

// True in the copy of the test that runs inside the namespace.
bool insidePrivateNetworkNamespace();

// Runs the current test again, alone, in a fresh namespace (through
// `unshare -rn`, and the build's emulator when cross-compiled) and makes its
// outcome this test's: a failure inside fails here with the inner output, a
// skip inside skips here, and a kernel that refuses the namespace skips with
// its reason.
void runCurrentTestInPrivateNetworkNamespace();

// Runs `ip` with `arguments`; false, with its output added to the test's
// failure messages, when it fails.
bool ip(const std::vector<std::string>& arguments);

// Creates the veth pair v0/v1 and brings both ends up. False when the kernel
// offers no veth links (the caller skips) or an end cannot be brought up
// (already a failure).
bool createVethPair();

} // namespace netns
