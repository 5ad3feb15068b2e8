// What a forked child tells apart from its parent: which process it is in, counted in forks, and
// how it leaves alone what the parent's threads own.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// How many forks lie between the process that first asked and this one. A fork handler counts
// them once anything has asked, so a process that never asks registers none.
std::uint64_t forkGeneration();

// What a forked child inherited of work that the parent's threads own (their queued tasks, a
// client set up before the fork): the child neither uses nor destroys it, since destructors
// would act on what the parent still holds (its locks on shared files, its connections). The
// object starts anew, empty, and what it held is left as the fork left it. A handle or pointer
// starts anew without allocating or locking, so a child on its way out may leave those.
template <typename Inherited> void leaveToParent(Inherited& inherited) {
    std::construct_at(&inherited);
}

} // namespace platform
