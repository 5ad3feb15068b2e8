// The keys the crash reporter reads by name, each computed from Linux facts when asked.
#pragma once

#include <optional>
#include <string>

namespace platform::sysctl {

// The stored bytes of a key, or std::nullopt for a key the table does not know.
std::optional<std::string> tableValue(const std::string& name);

} // namespace platform::sysctl
