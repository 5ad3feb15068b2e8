// Turns the sections of an unpacked crash log message into report values, checking what
// the values need. Private to the decoder.
#pragma once

#include "KOCrashReportBinaryImageInfo.h"
#include "KOCrashReportCrashInfo.h"
#include "KOCrashReportEnvironmentInfo.h"
#include "KOCrashReportThreadInfo.h"
#include "kocrash.pb-c.h"
#include "platform/core/Export.h"

#include <optional>
#include <stdexcept>
#include <vector>

// Why a section cannot become a report value; the decoder reports it as an invalid report.
class DAVAROR_EXPORT KOCrashReportDecodeFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class KOCrashReportSections {
public:
    // Frames are decoded after the machine section because its processor decides whether
    // pointer-authentication bits are stripped from every pc.
    explicit KOCrashReportSections(const std::optional<KOCrashReportMachineInfo>& machineInfo);

    static KOCrashReportMachineInfo
    extractMachineInfo(const Kocrash__CrashReport__MachineInfo* machineInfo);
    static KOCrashReportSystemInfo
    extractSystemInfo(const Kocrash__CrashReport__SystemInfo* systemInfo,
                      const std::optional<KOCrashReportProcessorInfo>& processorInfo);
    static KOCrashReportApplicationInfo
    extractApplicationInfo(const Kocrash__CrashReport__ApplicationInfo* applicationInfo);
    static KOCrashReportProcessInfo
    extractProcessInfo(const Kocrash__CrashReport__ProcessInfo* processInfo);
    static KOCrashReportSignalInfo extractSignalInfo(const Kocrash__CrashReport__Signal* signal);
    static KOCrashReportMachExceptionInfo
    extractMachExceptionInfo(const Kocrash__CrashReport__Signal__MachException* machException);
    static std::vector<KOCrashReportBinaryImageInfo>
    extractImageInfo(const Kocrash__CrashReport* report);

    std::vector<KOCrashReportThreadInfo>
    extractThreadInfo(const Kocrash__CrashReport* report) const;
    KOCrashReportExceptionInfo
    extractExceptionInfo(const Kocrash__CrashReport__Exception* exception) const;

private:
    static KOCrashReportProcessorInfo
    extractProcessorInfo(const Kocrash__CrashReport__Processor* processor);
    static KOCrashReportProcessorInfo synthesiseProcessorInfo(std::int32_t architecture);
    static std::optional<KOCrashReportSymbolInfo>
    extractSymbolInfo(const Kocrash__CrashReport__Symbol* symbol);

    std::vector<KOCrashReportStackFrameInfo>
    extractStackFrames(Kocrash__CrashReport__Thread__StackFrame* const* frames,
                       std::size_t count) const;

    bool stripsPointerAuthentication_;
};
