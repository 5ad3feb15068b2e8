// Read-only values of the report's threads: frames, the symbols found at crash time and the
// crashed thread's registers.
#pragma once

#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DAVAROR_EXPORT KOCrashReportSymbolInfo {
public:
    // endAddress: 0 when unknown.
    KOCrashReportSymbolInfo(std::string symbolName, std::uint64_t startAddress,
                            std::uint64_t endAddress)
        : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {
    }

    const std::string& symbolName() const { return symbolName_; }
    std::uint64_t startAddress() const { return startAddress_; }
    std::uint64_t endAddress() const { return endAddress_; }

    bool operator==(const KOCrashReportSymbolInfo&) const = default;

private:
    std::string symbolName_;
    std::uint64_t startAddress_;
    std::uint64_t endAddress_;
};

class DAVAROR_EXPORT KOCrashReportStackFrameInfo {
public:
    KOCrashReportStackFrameInfo(std::uint64_t instructionPointer,
                                std::optional<KOCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

    std::uint64_t instructionPointer() const { return instructionPointer_; }
    const std::optional<KOCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

    bool operator==(const KOCrashReportStackFrameInfo&) const = default;

private:
    std::uint64_t instructionPointer_;
    std::optional<KOCrashReportSymbolInfo> symbolInfo_;
};

class DAVAROR_EXPORT KOCrashReportRegisterInfo {
public:
    KOCrashReportRegisterInfo(std::string registerName, std::uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}

    const std::string& registerName() const { return registerName_; }
    std::uint64_t registerValue() const { return registerValue_; }

    bool operator==(const KOCrashReportRegisterInfo&) const = default;

private:
    std::string registerName_;
    std::uint64_t registerValue_;
};

class DAVAROR_EXPORT KOCrashReportThreadInfo {
public:
    KOCrashReportThreadInfo(std::int64_t threadNumber,
                            std::vector<KOCrashReportStackFrameInfo> stackFrames, bool crashed,
                            std::vector<KOCrashReportRegisterInfo> registers)
        : threadNumber_(threadNumber), stackFrames_(std::move(stackFrames)), crashed_(crashed),
          registers_(std::move(registers)) {}

    std::int64_t threadNumber() const { return threadNumber_; }
    // Innermost frame first.
    const std::vector<KOCrashReportStackFrameInfo>& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<KOCrashReportRegisterInfo>& registers() const { return registers_; }

    bool operator==(const KOCrashReportThreadInfo&) const = default;

private:
    std::int64_t threadNumber_;
    std::vector<KOCrashReportStackFrameInfo> stackFrames_;
    bool crashed_;
    std::vector<KOCrashReportRegisterInfo> registers_;
};
