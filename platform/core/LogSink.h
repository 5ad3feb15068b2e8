#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::log {

// Writes one line to standard output, or to the innermost active capture.
void writeLine(std::string_view line);
// Writes one line to standard error, which stands for the system log here (standard output
// belongs to the application), or to the innermost active capture.
void writeSystemLogLine(std::string_view line);

// Collects every line written while it lives instead of printing it, so tests
// can assert on log texts.
class ScopedCapture {
public:
    ScopedCapture();
    ~ScopedCapture();
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view text) const;
    std::size_t count(std::string_view text) const;
};

} // namespace platform::log
