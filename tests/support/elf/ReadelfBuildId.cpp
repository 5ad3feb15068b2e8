#include "ReadelfBuildId.h"

#include <cstdio>
#include <memory>
#include <regex>

std::string readelfBuildId(const std::string& path) {
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return {};
    }
    std::string output;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
        output += buffer;
    }
    std::smatch match;
    static const std::regex buildId(R"(Build ID: ([0-9a-f]+))");
    return std::regex_search(output, match, buildId) ? match[1].str() : std::string();
}
