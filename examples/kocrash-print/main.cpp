// Prints a crash log file as plain text, the way a person reads a report:
//   kocrash-print [--ascii] FILE
#include "KOCrashReport.h"
#include "KOCrashReportTextFormatter.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>

int main(int argc, char** argv) {
    auto encoding = KOCrashReportStringEncoding::UTF8;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--ascii") {
            encoding = KOCrashReportStringEncoding::ASCII;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: kocrash-print [--ascii] FILE\n");
        return 2;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "kocrash-print: cannot open %s\n", path);
        return 1;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    std::optional<KOError> error;
    const auto report = KOCrashReport::initWithData(bytes, &error);
    if (!report) {
        std::fprintf(stderr, "kocrash-print: %s: %s\n", path,
                     error->localizedDescription().c_str());
        return 1;
    }
    const KOCrashReportTextFormatter formatter(KOCrashReportTextFormat::Standard, encoding);
    const auto text = formatter.formatReport(*report, nullptr);
    std::fwrite(text->data(), 1, text->size(), stdout);
    return 0;
}
