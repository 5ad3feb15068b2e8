// Flags and remote-configuration replies that keep every limit of untrusted
// JSON while costing the most memory once parsed: as many cheap values as the
// value limit allows, each shape placed where the client copies it most.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace replybench {

struct WorstReply {
    std::string name;
    // "/flags" or "/array/key/config"
    std::string path;
    // Built on demand, so a process pays only for the reply it takes in.
    std::function<std::string()> body;
};

std::vector<WorstReply> worstReplies();

} // namespace replybench
