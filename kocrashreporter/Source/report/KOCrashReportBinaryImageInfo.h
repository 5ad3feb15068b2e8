// Read-only value of one loaded image: where it was, what it is, and its UUID as text.
#pragma once

#include "KOCrashReportEnvironmentInfo.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

class DAVAROR_EXPORT KOCrashReportBinaryImageInfo {
public:
    // uuid: the raw UUID bytes, or none. They become two lower-case hexadecimal digits per
    // byte, in byte order, without separators.
    KOCrashReportBinaryImageInfo(std::optional<KOCrashReportProcessorInfo> codeType,
                                 std::uint64_t baseAddress, std::uint64_t size, std::string name,
                                 std::optional<std::span<const std::uint8_t>> uuid);

    const std::optional<KOCrashReportProcessorInfo>& codeType() const { return codeType_; }
    std::uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    std::uint64_t imageSize() const { return imageSize_; }
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }

    // True when the image's range [base, base + size) holds the address; never wraps.
    bool containsAddress(std::uint64_t address) const {
        return address >= imageBaseAddress_ && address - imageBaseAddress_ < imageSize_;
    }

    bool operator==(const KOCrashReportBinaryImageInfo&) const = default;

private:
    std::optional<KOCrashReportProcessorInfo> codeType_;
    std::uint64_t imageBaseAddress_;
    std::uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};
