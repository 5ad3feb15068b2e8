#include "platform/core/LogSink.h"
#include "platform/core/ForkSafeMutex.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace platform::log {
namespace {

struct Sink {
    ForkSafeMutex mutex;
    std::vector<ScopedCapture*> captures;
    std::vector<std::string> captured;
};

// Never destroyed: background threads, the main queue's among them, may
// still log while the process's static objects are being destroyed at exit.
Sink& sink() {
    static Sink* const instance = new Sink;
    return *instance;
}

void write(std::string_view line, std::FILE* stream) {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    if (!s.captures.empty()) {
        s.captured.emplace_back(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void writeLine(std::string_view line) {
    write(line, stdout);
}

void writeSystemLogLine(std::string_view line) {
    write(line, stderr);
}

ScopedCapture::ScopedCapture() {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    if (s.captures.empty()) {
        s.captured.clear();
    }
    s.captures.push_back(this);
}

ScopedCapture::~ScopedCapture() {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    std::erase(s.captures, this);
}

std::vector<std::string> ScopedCapture::lines() const {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    return s.captured;
}

bool ScopedCapture::contains(std::string_view text) const {
    return count(text) > 0;
}

std::size_t ScopedCapture::count(std::string_view text) const {
    auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
}

} // namespace platform::log
