#include "DavaRor/ErrorTracking/DavaRorCrashReportProcessor.h"

#include "DavaRor/ErrorTracking/DavaRorAddresses.h"
#include "DavaRor/ErrorTracking/DavaRorBinaryImageInfo.h"
#include "DavaRor/ErrorTracking/DavaRorCPUArchitecture.h"
#include "DavaRor/ErrorTracking/DavaRorStackFrame.h"
#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"
#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"

#include <chrono>
#include <set>
#include <vector>

using nlohmann::json;

namespace {

const KOCrashReportThreadInfo* findCrashedThread(const KOCrashReport& report) {
    const auto& threads = report.threads();
    for (const auto& thread : threads) {
        if (thread.crashed()) {
            return &thread;
        }
    }
    return threads.empty() ? nullptr : &threads.front();
}

std::optional<std::string> lastPathComponent(const std::string& path) {
    if (path.empty()) {
        return std::nullopt;
    }
    return path.substr(path.find_last_of('/') + 1);
}

struct SourceFrames {
    const std::vector<KOCrashReportStackFrameInfo>* frames;
    // An exception's call stack holds return addresses only; a thread's first frame is where
    // the thread stood, and every later one a return address.
    bool firstIsReturnAddress;
};

SourceFrames sourceFrames(const KOCrashReport& report) {
    if (report.hasExceptionInfo()) {
        const auto& frames = report.exceptionInfo()->stackFrames();
        if (frames && !frames->empty()) {
            return {&*frames, true};
        }
    }
    const auto* thread = findCrashedThread(report);
    return {thread ? &thread->stackFrames() : nullptr, false};
}

// Without symbols in the report (the reporter writes none), the image holding a frame is what
// lets the service name it, so the image is looked up with the authentication bits already
// dropped: a signed return address lies in no image.
DavaRorStackFrame buildStackFrame(const KOCrashReport& report,
                                  const KOCrashReportStackFrameInfo& source, bool returnAddress,
                                  const DavaRorErrorTrackingConfig& config) {
    DavaRorStackFrame frame;
    frame.instructionAddress = pacStripped(source.instructionPointer());
    const std::uint64_t lookupAddress =
        returnAddress ? callSiteAddress(frame.instructionAddress) : frame.instructionAddress;
    if (const auto* image = report.imageForAddress(lookupAddress)) {
        frame.module = lastPathComponent(image->imageName());
        frame.package = frame.module;
        frame.imageAddress = image->imageBaseAddress();
    }
    if (const auto& symbol = source.symbolInfo()) {
        frame.function = symbol->symbolName();
        frame.symbolAddress = symbol->startAddress();
    }
    frame.inApp =
        frame.module && DavaRorStackTraceProcessor::isInApp(*frame.module, std::nullopt, config);
    return frame;
}

std::vector<DavaRorStackFrame> buildStackFrames(const KOCrashReport& report,
                                                const DavaRorErrorTrackingConfig& config) {
    std::vector<DavaRorStackFrame> frames;
    const SourceFrames source = sourceFrames(report);
    if (source.frames == nullptr) {
        return frames;
    }
    for (std::size_t index = 0; index < source.frames->size(); ++index) {
        const bool returnAddress = index != 0 || source.firstIsReturnAddress;
        frames.push_back(buildStackFrame(report, (*source.frames)[index], returnAddress, config));
    }
    return frames;
}

json mechanism(const char* type) {
    return {{"type", type}, {"handled", false}, {"synthetic", false}};
}

std::string signalMessage(const KOCrashReportSignalInfo& signal) {
    return signal.name() + " (code " + signal.code() + ") at address " +
           addressText(signal.address());
}

// Every report carries the signal that ended the process (the crash log requires it), so an
// uncaught exception is the only thing that takes precedence over it.
json buildExceptionInfo(const KOCrashReport& report, const std::vector<DavaRorStackFrame>& frames) {
    json entry = json::object();
    if (const auto& exception = report.exceptionInfo()) {
        entry["type"] = exception->exceptionName();
        entry["value"] = exception->exceptionReason();
        entry["mechanism"] = mechanism("nsexception");
    } else {
        const auto& signal = report.signalInfo();
        entry["type"] = signal.name();
        entry["value"] = signalMessage(signal);
        entry["mechanism"] = mechanism("signal");
        entry["mechanism"]["meta"] = {
            {"signal", {{"code", signal.code()}, {"name", signal.name()}}}};
    }
    if (!frames.empty()) {
        json list = json::array();
        for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
            list.push_back(frame->toDictionary());
        }
        entry["stacktrace"] = {{"frames", std::move(list)}, {"type", "raw"}};
    }
    if (const auto* thread = findCrashedThread(report)) {
        entry["thread_id"] = thread->threadNumber();
    }
    return entry;
}

json buildDebugImages(const KOCrashReport& report, const std::vector<DavaRorStackFrame>& frames) {
    std::set<std::uint64_t> addresses;
    for (const auto& frame : frames) {
        if (frame.imageAddress) {
            addresses.insert(*frame.imageAddress);
        }
    }
    json images = json::array();
    if (addresses.empty()) {
        return images;
    }
    for (const auto& image : report.images()) {
        if (!addresses.contains(image.imageBaseAddress()) || image.imageName().empty()) {
            continue;
        }
        DavaRorBinaryImageInfo info;
        info.name = image.imageName();
        if (const auto& uuid = image.imageUUID()) {
            info.uuid = formattedAsUUID(*uuid);
        }
        info.address = image.imageBaseAddress();
        info.size = image.imageSize();
        if (const auto& codeType = image.codeType()) {
            info.arch = DavaRorCPUArchitecture::archName(codeType->type(), codeType->subtype());
        }
        images.push_back(info.toDictionary());
    }
    return images;
}

} // namespace

json DavaRorCrashReportProcessor::processReport(const KOCrashReport& report,
                                                const DavaRorErrorTrackingConfig& config) {
    json properties = {{"$exception_level", "fatal"}};
    const auto frames = buildStackFrames(report, config);
    properties["$exception_list"] = json::array({buildExceptionInfo(report, frames)});
    if (auto images = buildDebugImages(report, frames); !images.empty()) {
        properties["$debug_images"] = std::move(images);
    }
    // A child forked from the application crashed, not the run that enabled the reporter: the
    // event says whose crash it is.
    if (const auto& process = report.processInfo(); process && process->forkedChild()) {
        properties["$exception_forked_child"] = true;
        properties["$exception_process_id"] = process->processID();
        properties["$exception_parent_process_id"] = process->parentProcessID();
    }
    return properties;
}

std::optional<DavaRorDate>
DavaRorCrashReportProcessor::getCrashTimestamp(const KOCrashReport& report) {
    const auto& timestamp = report.systemInfo().timestamp();
    // A stored time the clock cannot hold is as good as none.
    constexpr auto limit =
        std::chrono::duration_cast<std::chrono::seconds>(DavaRorDate::duration::max()).count();
    if (!timestamp || *timestamp > limit || *timestamp < -limit) {
        return std::nullopt;
    }
    return DavaRorDate{std::chrono::seconds{*timestamp}};
}
