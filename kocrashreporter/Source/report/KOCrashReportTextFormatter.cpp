#include "KOCrashReportTextFormatter.h"

#include "KOCrashReportLog.h"
#include "KOCrashReportText.h"
#include "KOCrashReportTextNames.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char* missingValue = "???";
constexpr std::uint64_t cpuTypeFamilyMask = 0xFFFFFF;
constexpr std::uint64_t cpuTypeARM = 12;
constexpr std::size_t imageNameColumns = 35;
constexpr std::size_t registersPerLine = 4;

__attribute__((format(printf, 2, 3))) void appendFormat(std::string& text, const char* format,
                                                        ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    const std::size_t start = text.size();
    text.resize(start + static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data() + start, static_cast<std::size_t>(length) + 1, format, arguments);
    text.resize(start + static_cast<std::size_t>(length));
    va_end(arguments);
}

const char* orMissing(const std::optional<std::string>& value) {
    return value ? value->c_str() : missingValue;
}

bool dropsLeadingUnderscore(KOCrashReportOperatingSystem operatingSystem) {
    switch (operatingSystem) {
    case KOCrashReportOperatingSystem::MacOSX:
    case KOCrashReportOperatingSystem::iPhoneOS:
    case KOCrashReportOperatingSystem::iPhoneSimulator:
    case KOCrashReportOperatingSystem::AppleTVOS:
        return true;
    default:
        return false;
    }
}

std::string symbolText(const KOCrashReportStackFrameInfo& frame, const KOCrashReport& report,
                       std::uint64_t imageBase, std::uint64_t imageOffset) {
    std::string text;
    if (!frame.symbolInfo()) {
        appendFormat(text, "0x%llx + %lld", static_cast<unsigned long long>(imageBase),
                     static_cast<long long>(imageOffset));
        return text;
    }
    std::string_view name = frame.symbolInfo()->symbolName();
    if (name.size() > 1 && name.front() == '_') {
        if (dropsLeadingUnderscore(report.systemInfo().operatingSystem())) {
            name.remove_prefix(1);
        } else {
            kocrash_report_log("Symbol \"%s\" prefix rules are unknown for this OS!",
                               frame.symbolInfo()->symbolName().c_str());
        }
    }
    const std::uint64_t offset = frame.instructionPointer() - frame.symbolInfo()->startAddress();
    appendFormat(text, "%.*s + %lld", static_cast<int>(name.size()), name.data(),
                 static_cast<long long>(offset));
    return text;
}

std::string formatStackFrame(const KOCrashReportStackFrameInfo& frame, std::size_t frameIndex,
                             const KOCrashReport& report, bool lp64) {
    const std::uint64_t pc = frame.instructionPointer();
    std::string_view imageName = missingValue;
    std::uint64_t imageBase = 0;
    std::uint64_t imageOffset = 0;
    if (const auto* image = report.imageForAddress(pc)) {
        imageName = kocrash_text_last_path_component(image->imageName());
        imageBase = image->imageBaseAddress();
        imageOffset = pc - imageBase;
    } else if (pc != 0) {
        kocrash_report_log("Cannot find image for 0x%llx", static_cast<unsigned long long>(pc));
    }
    // The name column counts 16-bit units, so that a non-ASCII name keeps the columns after
    // it where a reader of that text expects them.
    const std::size_t nameUnits = kocrash_report_utf16_length(imageName);
    const std::size_t padding = nameUnits < imageNameColumns ? imageNameColumns - nameUnits : 0;
    std::string line;
    appendFormat(line, "%-4ld%.*s%*s 0x%0*llx %s\n", static_cast<long>(frameIndex),
                 static_cast<int>(imageName.size()), imageName.data(), static_cast<int>(padding),
                 "", lp64 ? 16 : 8, static_cast<unsigned long long>(pc),
                 symbolText(frame, report, imageBase, imageOffset).c_str());
    return line;
}

void appendHeader(std::string& text, const KOCrashReport& report,
                  const KOCrashReportCodeType& codeType) {
    const auto& machine = report.machineInfo();
    const auto& process = report.processInfo();
    const auto& application = report.applicationInfo();
    const std::string processID = process ? std::to_string(process->processID()) : missingValue;
    const std::string parentID =
        process ? std::to_string(process->parentProcessID()) : missingValue;
    const std::optional<std::string> none;

    appendFormat(text, "Incident Identifier: %s\n",
                 report.uuidRef() ? kocrash_text_uuid(*report.uuidRef()).c_str() : missingValue);
    appendFormat(text, "Hardware Model:      %s\n",
                 orMissing(machine ? machine->modelName() : none));
    appendFormat(text, "Process:         %s [%s]\n",
                 orMissing(process ? process->processName() : none), processID.c_str());
    appendFormat(text, "Path:            %s\n", orMissing(process ? process->processPath() : none));
    appendFormat(text, "Identifier:      %s\n", application.applicationIdentifier().c_str());
    if (const auto& marketingVersion = application.applicationMarketingVersion()) {
        appendFormat(text, "Version:         %s (%s)\n", marketingVersion->c_str(),
                     application.applicationVersion().c_str());
    } else {
        appendFormat(text, "Version:         %s\n", application.applicationVersion().c_str());
    }
    appendFormat(text, "Code Type:       %s\n", codeType.name.c_str());
    appendFormat(text, "Parent Process:  %s [%s]\n",
                 orMissing(process ? process->parentProcessName() : none), parentID.c_str());
    text += "\n";

    const auto& system = report.systemInfo();
    const auto& timestamp = system.timestamp();
    appendFormat(text, "Date/Time:       %s\n",
                 timestamp ? kocrash_text_date(*timestamp).c_str() : "(null)");
    appendFormat(text, "OS Version:      %s %s (%s)\n",
                 kocrash_text_operating_system_name(system.operatingSystem()).c_str(),
                 system.operatingSystemVersion().c_str(), orMissing(system.operatingSystemBuild()));
    text += "Report Version:  104\n";
    text += "\n";
}

void appendSignal(std::string& text, const KOCrashReport& report) {
    const auto& signal = report.signalInfo();
    appendFormat(text, "Exception Type:  %s\n", signal.name().c_str());
    appendFormat(text, "Exception Codes: %s at 0x%llx\n", signal.code().c_str(),
                 static_cast<unsigned long long>(signal.address()));
    const auto& threads = report.threads();
    const auto crashed = std::find_if(threads.begin(), threads.end(),
                                      [](const auto& thread) { return thread.crashed(); });
    if (crashed != threads.end()) {
        appendFormat(text, "Crashed Thread:  %ld\n", static_cast<long>(crashed->threadNumber()));
    }
    text += "\n";
}

void appendFrames(std::string& text, const std::vector<KOCrashReportStackFrameInfo>& frames,
                  const KOCrashReport& report, bool lp64) {
    for (std::size_t index = 0; index < frames.size(); ++index) {
        text += formatStackFrame(frames[index], index, report, lp64);
    }
}

void appendException(std::string& text, const KOCrashReport& report, bool lp64) {
    const auto& exception = report.exceptionInfo();
    if (!exception) {
        return;
    }
    text += "Application Specific Information:\n";
    appendFormat(text, "*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                 exception->exceptionName().c_str(), exception->exceptionReason().c_str());
    text += "\n";
    if (exception->stackFrames() && !exception->stackFrames()->empty()) {
        text += "Last Exception Backtrace:\n";
        appendFrames(text, *exception->stackFrames(), report, lp64);
        text += "\n";
    }
}

bool namesARMRegisters(const KOCrashReport& report) {
    if (!report.machineInfo() || !report.machineInfo()->processorInfo()) {
        return false;
    }
    const auto& processor = *report.machineInfo()->processorInfo();
    return processor.typeEncoding() == KOCrashReportProcessorTypeEncoding::Mach &&
           (processor.type() & cpuTypeFamilyMask) == cpuTypeARM;
}

void appendThreadState(std::string& text, const KOCrashReport& report,
                       const KOCrashReportThreadInfo& thread,
                       const KOCrashReportCodeType& codeType) {
    appendFormat(text, "Thread %ld crashed with %s Thread State:\n",
                 static_cast<long>(thread.threadNumber()), codeType.name.c_str());
    const bool armNames = namesARMRegisters(report);
    const auto& registers = thread.registers();
    for (std::size_t index = 0; index < registers.size(); ++index) {
        const auto& value = registers[index];
        const char* name =
            armNames && value.registerName() == "r12" ? "ip" : value.registerName().c_str();
        appendFormat(text, codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ", name,
                     static_cast<unsigned long long>(value.registerValue()));
        if ((index + 1) % registersPerLine == 0) {
            text += "\n";
        }
    }
    if (registers.size() % registersPerLine != 0) {
        text += "\n";
    }
    text += "\n";
}

void appendThreads(std::string& text, const KOCrashReport& report,
                   const KOCrashReportCodeType& codeType) {
    const KOCrashReportThreadInfo* crashedThread = nullptr;
    for (const auto& thread : report.threads()) {
        if (thread.crashed()) {
            appendFormat(text, "Thread %ld Crashed:\n", static_cast<long>(thread.threadNumber()));
            crashedThread = &thread;
        } else {
            appendFormat(text, "Thread %ld:\n", static_cast<long>(thread.threadNumber()));
        }
        appendFrames(text, thread.stackFrames(), report, codeType.lp64);
        text += "\n";
    }
    if (crashedThread != nullptr) {
        appendThreadState(text, report, *crashedThread, codeType);
    }
}

void appendBinaryImages(std::string& text, const KOCrashReport& report, bool lp64) {
    text += "Binary Images:\n";
    std::vector<const KOCrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images()) {
        images.push_back(&image);
    }
    // Stable, so that of two images at one address the first in the report is printed.
    std::stable_sort(images.begin(), images.end(), [](const auto* first, const auto* second) {
        return KOCrashReportTextFormatter::binaryImageSort(*first, *second);
    });
    const auto& process = report.processInfo();
    const std::optional<std::string>& processPath =
        process ? process->processPath() : std::optional<std::string>();
    std::uint64_t lastBase = 0;
    for (const auto* image : images) {
        const std::uint64_t base = image->imageBaseAddress();
        if (base == lastBase) {
            continue;
        }
        lastBase = base;
        const std::uint64_t end = image->imageSize() > 1 ? base + image->imageSize() - 1 : base;
        const std::string_view fileName = kocrash_text_last_path_component(image->imageName());
        appendFormat(text,
                     lp64 ? "%#18llx - %#18llx %s%.*s %s  <%s> %s\n"
                          : "%#10llx - %#10llx %s%.*s %s  <%s> %s\n",
                     static_cast<unsigned long long>(base), static_cast<unsigned long long>(end),
                     processPath && *processPath == image->imageName() ? "+" : " ",
                     static_cast<int>(fileName.size()), fileName.data(),
                     kocrash_text_architecture_name(image->codeType()).c_str(),
                     orMissing(image->imageUUID()), image->imageName().c_str());
    }
}

std::string lossyASCII(const std::string& utf8) {
    std::string ascii;
    ascii.reserve(utf8.size());
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            ascii.push_back(c);
        } else if ((byte & 0xC0) != 0x80) {
            ascii.push_back('?');
        }
    }
    return ascii;
}

} // namespace

std::string KOCrashReportTextFormatter::stringValueForCrashReport(const KOCrashReport& report,
                                                                  KOCrashReportTextFormat) {
    const KOCrashReportCodeType codeType = kocrash_text_code_type(report);
    std::string text;
    appendHeader(text, report, codeType);
    appendSignal(text, report);
    appendException(text, report, codeType.lp64);
    appendThreads(text, report, codeType);
    appendBinaryImages(text, report, codeType.lp64);
    return text;
}

bool KOCrashReportTextFormatter::binaryImageSort(const KOCrashReportBinaryImageInfo& first,
                                                 const KOCrashReportBinaryImageInfo& second) {
    return first.imageBaseAddress() < second.imageBaseAddress();
}

std::optional<std::vector<std::uint8_t>>
KOCrashReportTextFormatter::formatReport(const KOCrashReport& report,
                                         std::optional<KOError>*) const {
    std::string text = stringValueForCrashReport(report, textFormat_);
    if (stringEncoding_ == KOCrashReportStringEncoding::ASCII) {
        text = lossyASCII(text);
    }
    return std::vector<std::uint8_t>(text.begin(), text.end());
}
