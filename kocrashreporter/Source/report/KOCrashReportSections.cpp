#include "KOCrashReportSections.h"

#include "KOCrashReportText.h"

#include <cstring>

namespace {

constexpr std::uint64_t cpuTypeARM64 = 0x100000C;
constexpr std::uint64_t cpuSubtypeARM64E = 2;
// Addresses of the 64-bit ARM targets fit in 36 bits; higher bits carry the signature.
constexpr std::uint64_t arm64eAddressMask = 0xFFFFFFFFFull;
// A Mach exception carries a handful of codes; this many can only come from a damaged file.
constexpr std::size_t machExceptionCodeLimit = 256;

template <typename T> const T& requirePresent(const T* section, const char* failure) {
    if (section == nullptr) {
        throw KOCrashReportDecodeFailure(failure);
    }
    return *section;
}

std::string requiredText(const char* stored, const char* failure) {
    if (stored == nullptr) {
        throw KOCrashReportDecodeFailure(failure);
    }
    return kocrash_report_valid_utf8(stored);
}

// protobuf-c stores any number it reads into an enumeration field, while C++ allows only the
// enumeration's own range there; read the stored int instead of the enumeration value.
template <typename Enum> std::int32_t storedEnum(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(std::int32_t));
    std::int32_t value;
    std::memcpy(&value, &field, sizeof(value));
    return value;
}

std::optional<std::string> optionalText(const char* stored) {
    if (stored == nullptr) {
        return std::nullopt;
    }
    return kocrash_report_valid_utf8(stored);
}

} // namespace

KOCrashReportSections::KOCrashReportSections(
    const std::optional<KOCrashReportMachineInfo>& machineInfo)
    : stripsPointerAuthentication_(machineInfo && machineInfo->processorInfo() &&
                                   machineInfo->processorInfo()->type() == cpuTypeARM64 &&
                                   machineInfo->processorInfo()->subtype() == cpuSubtypeARM64E) {}

KOCrashReportProcessorInfo
KOCrashReportSections::extractProcessorInfo(const Kocrash__CrashReport__Processor* processor) {
    const auto& stored =
        requirePresent(processor, "Crash report is missing processor info section");
    const auto encoding =
        stored.has_encoding
            ? storedEnum(stored.encoding)
            : KOCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN;
    return {static_cast<KOCrashReportProcessorTypeEncoding>(encoding), stored.type, stored.subtype};
}

KOCrashReportProcessorInfo
KOCrashReportSections::synthesiseProcessorInfo(std::int32_t architecture) {
    struct Processor {
        std::uint64_t type;
        std::uint64_t subtype;
    };
    // Indexed by the stored architecture, X86_32 to ARMV7.
    static constexpr Processor processors[] = {
        {7, 3}, {0x1000007, 3}, {12, 6}, {18, 0}, {0x1000012, 0}, {12, 9},
    };
    if (architecture < 0 || architecture >= static_cast<std::int32_t>(std::size(processors))) {
        throw KOCrashReportDecodeFailure("Crash report has an unknown architecture");
    }
    return {KOCrashReportProcessorTypeEncoding::Mach, processors[architecture].type,
            processors[architecture].subtype};
}

KOCrashReportMachineInfo
KOCrashReportSections::extractMachineInfo(const Kocrash__CrashReport__MachineInfo* machineInfo) {
    const auto& stored =
        requirePresent(machineInfo, "Crash report is missing Machine Information section");
    std::optional<KOCrashReportProcessorInfo> processorInfo;
    if (stored.processor != nullptr) {
        processorInfo = extractProcessorInfo(stored.processor);
    }
    return {optionalText(stored.model), processorInfo, stored.processor_count,
            stored.logical_processor_count};
}

KOCrashReportSystemInfo KOCrashReportSections::extractSystemInfo(
    const Kocrash__CrashReport__SystemInfo* systemInfo,
    const std::optional<KOCrashReportProcessorInfo>& processorInfo) {
    const auto& stored =
        requirePresent(systemInfo, "Crash report is missing System Information section");
    std::string version = requiredText(
        stored.os_version, "Crash report is missing System Information OS version field");
    const auto operatingSystem =
        stored.has_operating_system
            ? storedEnum(stored.operating_system)
            : KOCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN;
    std::optional<std::int64_t> timestamp;
    if (stored.timestamp != 0) {
        timestamp = stored.timestamp;
    }
    return {static_cast<KOCrashReportOperatingSystem>(operatingSystem),
            std::move(version),
            optionalText(stored.os_build),
            static_cast<KOCrashReportArchitecture>(storedEnum(stored.architecture)),
            processorInfo ? *processorInfo
                          : synthesiseProcessorInfo(storedEnum(stored.architecture)),
            timestamp};
}

KOCrashReportApplicationInfo KOCrashReportSections::extractApplicationInfo(
    const Kocrash__CrashReport__ApplicationInfo* applicationInfo) {
    const auto& stored =
        requirePresent(applicationInfo, "Crash report is missing Application Information section");
    std::string identifier = requiredText(
        stored.identifier, "Crash report is missing Application Information app identifier field");
    std::string version = requiredText(
        stored.version, "Crash report is missing Application Information app version field");
    return {std::move(identifier), std::move(version), optionalText(stored.marketing_version)};
}

KOCrashReportProcessInfo
KOCrashReportSections::extractProcessInfo(const Kocrash__CrashReport__ProcessInfo* processInfo) {
    const auto& stored =
        requirePresent(processInfo, "Crash report is missing Process Information section");
    std::optional<std::uint64_t> startTime;
    if (stored.has_start_time) {
        startTime = stored.start_time;
    }
    return {optionalText(stored.process_name),
            stored.process_id,
            optionalText(stored.process_path),
            startTime,
            optionalText(stored.parent_process_name),
            stored.parent_process_id,
            stored.native != 0,
            stored.has_forked_child && stored.forked_child != 0};
}

KOCrashReportSignalInfo
KOCrashReportSections::extractSignalInfo(const Kocrash__CrashReport__Signal* signal) {
    const auto& stored =
        requirePresent(signal, "Crash report is missing Signal Information section");
    std::string name = requiredText(stored.name, "Crash report is missing signal name field");
    std::string code = requiredText(stored.code, "Crash report is missing signal code field");
    return {std::move(name), std::move(code), stored.address};
}

KOCrashReportMachExceptionInfo KOCrashReportSections::extractMachExceptionInfo(
    const Kocrash__CrashReport__Signal__MachException* machException) {
    const auto& stored =
        requirePresent(machException, "Crash report is missing Mach Exception Information section");
    if (stored.n_codes >= machExceptionCodeLimit) {
        throw KOCrashReportDecodeFailure("Crash report includes too many Mach Exception codes");
    }
    return {stored.type, std::vector<std::uint64_t>(stored.codes, stored.codes + stored.n_codes)};
}

std::optional<KOCrashReportSymbolInfo>
KOCrashReportSections::extractSymbolInfo(const Kocrash__CrashReport__Symbol* symbol) {
    if (symbol == nullptr) {
        return std::nullopt;
    }
    return KOCrashReportSymbolInfo(
        requiredText(symbol->name, "Crash report is missing symbol information"),
        symbol->start_address, symbol->has_end_address ? symbol->end_address : 0);
}

std::vector<KOCrashReportStackFrameInfo>
KOCrashReportSections::extractStackFrames(Kocrash__CrashReport__Thread__StackFrame* const* frames,
                                          std::size_t count) const {
    std::vector<KOCrashReportStackFrameInfo> decoded;
    decoded.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& frame =
            requirePresent(frames[i], "Crash report is missing stack frame information");
        const std::uint64_t pc =
            stripsPointerAuthentication_ ? frame.pc & arm64eAddressMask : frame.pc;
        decoded.emplace_back(pc, extractSymbolInfo(frame.symbol));
    }
    return decoded;
}

std::vector<KOCrashReportThreadInfo>
KOCrashReportSections::extractThreadInfo(const Kocrash__CrashReport* report) const {
    std::vector<KOCrashReportThreadInfo> threads;
    threads.reserve(report->n_threads);
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        const auto& thread =
            requirePresent(report->threads[i], "Crash report is missing thread state information");
        std::vector<KOCrashReportRegisterInfo> registers;
        registers.reserve(thread.n_registers);
        for (std::size_t r = 0; r < thread.n_registers; ++r) {
            const auto& stored =
                requirePresent(thread.registers[r], "Missing register name in register value");
            registers.emplace_back(
                requiredText(stored.name, "Missing register name in register value"), stored.value);
        }
        threads.emplace_back(thread.thread_number,
                             extractStackFrames(thread.frames, thread.n_frames),
                             thread.crashed != 0, std::move(registers));
    }
    return threads;
}

std::vector<KOCrashReportBinaryImageInfo>
KOCrashReportSections::extractImageInfo(const Kocrash__CrashReport* report) {
    if (report->n_binary_images == 0) {
        throw KOCrashReportDecodeFailure("Crash report is missing binary image information");
    }
    std::vector<KOCrashReportBinaryImageInfo> images;
    images.reserve(report->n_binary_images);
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        const auto& image = requirePresent(report->binary_images[i],
                                           "Crash report is missing binary image information");
        std::string name = requiredText(image.name, "Missing image name in image record");
        std::optional<KOCrashReportProcessorInfo> codeType;
        if (image.code_type != nullptr) {
            codeType = extractProcessorInfo(image.code_type);
        }
        std::optional<std::span<const std::uint8_t>> uuid;
        if (image.has_uuid && image.uuid.len > 0) {
            uuid = std::span<const std::uint8_t>(image.uuid.data, image.uuid.len);
        }
        images.emplace_back(codeType, image.base_address, image.size, std::move(name), uuid);
    }
    return images;
}

KOCrashReportExceptionInfo KOCrashReportSections::extractExceptionInfo(
    const Kocrash__CrashReport__Exception* exception) const {
    const auto& stored =
        requirePresent(exception, "Crash report is missing Exception Information section");
    std::string name = requiredText(stored.name, "Crash report is missing exception name field");
    std::string reason =
        requiredText(stored.reason, "Crash report is missing exception reason field");
    if (stored.n_frames == 0) {
        return {std::move(name), std::move(reason)};
    }
    return {std::move(name), std::move(reason), extractStackFrames(stored.frames, stored.n_frames)};
}
