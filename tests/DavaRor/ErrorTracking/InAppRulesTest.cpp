// The in-app rules in their order, the system prefixes and paths of both platforms, and the
// texts addresses and UUIDs are written as.
#include "DavaRor/ErrorTracking/DavaRorAddresses.h"
#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"
#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"

#include <gtest/gtest.h>

#include <array>

namespace {

struct Rules {
    std::vector<std::string> includes;
    std::vector<std::string> excludes;
    bool byDefault = true;
};

std::string inApp(const std::string& module, std::optional<std::string> package,
                  const Rules& rules = {}) {
    DavaRorErrorTrackingConfig config;
    config.setInAppIncludes(rules.includes);
    config.setInAppExcludes(rules.excludes);
    config.setInAppByDefault(rules.byDefault);
    return DavaRorStackTraceProcessor::isInApp(module, package, config) ? "in app" : "not in app";
}

TEST(InAppRules, DecideInOrderAndTextsKeepTheirForms) {
    const std::array<std::uint8_t, 16> ab = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB,
                                             0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
    const struct {
        const char* what;
        std::string actual;
        std::string expected;
    } cases[] = {
        {"includes before excludes", inApp("MyApp", std::nullopt, {{"MyApp"}, {"My"}, true}),
         "in app"},
        {"excludes before system rules", inApp("Helper", std::nullopt, {{}, {"Help"}, true}),
         "not in app"},
        {"an empty include matches all", inApp("libc.so.6", "/lib/libc.so.6", {{""}, {}, true}),
         "in app"},
        {"framework", inApp("Foundation", std::nullopt), "not in app"},
        {"framework prefix", inApp("FoundationExtras", std::nullopt), "not in app"},
        {"prefixes are case-sensitive", inApp("foundation", std::nullopt), "in app"},
        {"C runtime", inApp("libc.so.6", std::nullopt), "not in app"},
        {"C++ runtime", inApp("libstdc++.so.6", std::nullopt), "not in app"},
        {"unwinder", inApp("libgcc_s.so.1", std::nullopt), "not in app"},
        {"loader", inApp("ld-linux-aarch64.so.1", std::nullopt), "not in app"},
        {"libcurl is no C runtime", inApp("libcurl.so.4", std::nullopt), "in app"},
        {"/usr/lib", inApp("libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1"), "not in app"},
        {"/lib multiarch", inApp("libz.so.1", "/lib/aarch64-linux-gnu/libz.so.1"), "not in app"},
        {"/lib64", inApp("libz.so.1", "/lib64/libz.so.1"), "not in app"},
        {"/usr/lib inside", inApp("Tool", "/opt/usr/lib/Tool"), "not in app"},
        {"/System/Library", inApp("Kit", "/Volumes/x/System/Library/Kit"), "not in app"},
        {"/lib only at the start", inApp("Tool", "/home/lib/Tool"), "in app"},
        {"undecided by default", inApp("Tool", "/opt/Tool", {{}, {}, false}), "not in app"},
        {"address text", addressText(0x1a2b), "0x0000000000001a2b"},
        {"full address text", addressText(0xFFFFFFFFFFFFFFFF), "0xffffffffffffffff"},
        {"UUID from bytes", uuidText(ab), "ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB"},
        {"plain UUID", formattedAsUUID("0123456789abcdef0123456789abcdef"),
         "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"dashed UUID", formattedAsUUID("01234567-89ab-cdef-0123-456789abcdef"),
         "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"31 characters", formattedAsUUID("0123456789abcdef-0123456789abcde"),
         "0123456789abcdef-0123456789abcde"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << c.what;
    }
}

} // namespace
