// Prints a crash log file as plain text, the way a person reads a report:
//   kocrash-print [--ascii] FILE
#include "KOCrashReport.h"
#include "KOCrashReportTextFormatter.h"
#include "log/KOCrashLogFileFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage = "usage: kocrash-print [--ascii] FILE\n"
                               "Prints a crash log as plain text.\n"
                               "  --ascii  escape text outside ASCII\n"
                               "  --help   show this help\n";

class InputFile {
public:
    explicit InputFile(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~InputFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int fd() const { return fd_; }

    // Appends up to `count` bytes (all that is left when none is given); false on a read error.
    bool readInto(std::vector<std::uint8_t>& bytes, std::size_t count = SIZE_MAX) {
        std::uint8_t chunk[65536];
        while (count > 0) {
            const ssize_t got = read(fd_, chunk, std::min(sizeof chunk, count));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                return true;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_;
};

int fail(const char* path, const std::string& why) {
    std::fprintf(stderr, "kocrash-print: %s: %s\n", path, why.c_str());
    return 1;
}

// Why the fixed head shows the file is no crash log this reader knows, or empty when it is one.
std::string headProblem(const std::vector<std::uint8_t>& head) {
    if (head.size() < KOCrashLogFileHeaderSize) {
        return "not a crash log (shorter than its header)";
    }
    if (!std::equal(KOCrashLogFileMagic.begin(), KOCrashLogFileMagic.end(), head.begin())) {
        return "not a crash log (no crash log header)";
    }
    if (const std::uint8_t version = head[KOCrashLogFileMagic.size()];
        version != KOCrashLogFileVersion) {
        return "unsupported crash log version " + std::to_string(version);
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    auto encoding = KOCrashReportStringEncoding::UTF8;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--ascii") {
            encoding = KOCrashReportStringEncoding::ASCII;
        } else if (path == nullptr && !argument.starts_with('-')) {
            path = argv[i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (path == nullptr) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    InputFile file(path);
    struct stat status {};
    if (file.fd() < 0 || fstat(file.fd(), &status) != 0) {
        return fail(path, std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(path, "is a folder, not a crash log");
    }
    // The head decides before the rest is read: a large file of something else costs nothing.
    std::vector<std::uint8_t> bytes;
    if (!file.readInto(bytes, KOCrashLogFileHeaderSize)) {
        return fail(path, std::strerror(errno));
    }
    if (const auto problem = headProblem(bytes); !problem.empty()) {
        return fail(path, problem);
    }
    if (S_ISREG(status.st_mode)) {
        bytes.reserve(static_cast<std::size_t>(status.st_size));
    }
    if (!file.readInto(bytes)) {
        return fail(path, std::strerror(errno));
    }
    std::optional<KOError> error;
    const auto report = KOCrashReport::initWithData(bytes, &error);
    if (!report) {
        return fail(path, error->localizedDescription());
    }
    const KOCrashReportTextFormatter formatter(KOCrashReportTextFormat::Standard, encoding);
    const auto text = formatter.formatReport(*report, nullptr);
    std::fwrite(text->data(), 1, text->size(), stdout);
    return 0;
}
