#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"

#include "DavaRor/ErrorTracking/DavaRorAddresses.h"
#include "platform/dyld/DyldImages.h"

#include <algorithm>
#include <array>
#include <filesystem>

namespace DavaRorStackTraceProcessor {
namespace {

// The platform's frameworks and libraries, then the Linux C runtime and loader, which sit in
// the same place of every stack.
constexpr std::array<std::string_view, 51> kSystemFrameworkPrefixes = {
    "Foundation",
    "UIKit",
    "AppKit",
    "CoreFoundation",
    "CoreGraphics",
    "CoreData",
    "CoreLocation",
    "CoreMotion",
    "CoreServices",
    "CoreText",
    "AVFoundation",
    "Metal",
    "MetalKit",
    "SwiftUI",
    "SwiftUICore",
    "Combine",
    "QuartzCore",
    "Security",
    "SystemConfiguration",
    "CFNetwork",
    "WebKit",
    "GraphicsServices",
    "IOKit",
    "Gestures",
    "UIKitCore",
    "UIKitMacHelper",
    "Accessibility",
    "AccessibilityUtilities",
    "UpdateCycle",
    "TextInput",
    "UIFoundation",
    "BackBoardServices",
    "FrontBoardServices",
    "SpringBoardServices",
    "RunningBoardServices",
    "libsystem_kernel.dylib",
    "libsystem_pthread.dylib",
    "libsystem_c.dylib",
    "libsystem_malloc.dylib",
    "libdispatch.dylib",
    "libswift",
    "libobjc",
    "dyld",
    "libc.so",
    "libm.so",
    "libpthread.so",
    "libdl.so",
    "librt.so",
    "libstdc++.so",
    "libgcc_s.so",
    "ld-linux",
};

bool startsWithAny(const std::string& text, const std::vector<std::string>& prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const std::string& prefix) { return text.starts_with(prefix); });
}

bool isDavaRorModule(const std::optional<std::string>& module) {
    return module && (*module == "DavaRor" || module->starts_with("DavaRor."));
}

} // namespace

bool isSystemFramework(std::string_view module) {
    return std::any_of(kSystemFrameworkPrefixes.begin(), kSystemFrameworkPrefixes.end(),
                       [&](std::string_view prefix) { return module.starts_with(prefix); });
}

bool isSystemPath(const std::optional<std::string>& path) {
    if (!path) {
        return false;
    }
    for (std::string_view prefix : {"/System/", "/usr/lib/", "/lib/", "/lib64/"}) {
        if (path->starts_with(prefix)) {
            return true;
        }
    }
    return path->find("/System/Library/") != std::string::npos ||
           path->find("/usr/lib/") != std::string::npos;
}

bool isInApp(const std::string& module, const std::optional<std::string>& package,
             const DavaRorErrorTrackingConfig& config) {
    if (startsWithAny(module, config.inAppIncludes())) {
        return true;
    }
    if (startsWithAny(module, config.inAppExcludes())) {
        return false;
    }
    if (isSystemFramework(module) || isSystemPath(package)) {
        return false;
    }
    return config.inAppByDefault();
}

std::vector<DavaRorStackFrame> symbolicateAddresses(const std::vector<std::uint64_t>& addresses,
                                                    const DavaRorErrorTrackingConfig& config,
                                                    bool stripTopDavaRorFrames) {
    std::vector<DavaRorStackFrame> frames;
    bool stripping = stripTopDavaRorFrames;
    for (std::uint64_t returnAddress : addresses) {
        DavaRorStackFrame frame;
        frame.instructionAddress = pacStripped(returnAddress);
        // Copied under the loader's lock: the image may be removed on another thread.
        const auto info = platform::dyld::describeAddress(
            reinterpret_cast<const void*>(callSiteAddress(frame.instructionAddress)));
        if (!info) {
            continue;
        }
        frame.package = info->path;
        frame.module = std::filesystem::path(info->path).filename().string();
        frame.imageAddress = reinterpret_cast<std::uintptr_t>(info->header);
        frame.inApp = isInApp(*frame.module, frame.package, config);
        if (stripping) {
            if (isDavaRorModule(frame.module)) {
                continue;
            }
            stripping = false;
        }
        if (info->symbol) {
            frame.function = info->symbol;
            frame.symbolAddress = info->symbolAddress;
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

} // namespace DavaRorStackTraceProcessor
