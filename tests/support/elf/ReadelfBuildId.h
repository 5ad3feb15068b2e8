// The GNU build-id of an ELF file as `readelf -n` prints it: an oracle independent of the
// project's own ELF reading.
#pragma once

#include <string>

// Lower-case hexadecimal digits; "" when readelf shows none.
std::string readelfBuildId(const std::string& path);
