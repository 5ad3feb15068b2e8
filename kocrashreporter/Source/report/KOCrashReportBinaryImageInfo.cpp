#include "KOCrashReportBinaryImageInfo.h"

static std::string lowerCaseHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

KOCrashReportBinaryImageInfo::KOCrashReportBinaryImageInfo(
    std::optional<KOCrashReportProcessorInfo> codeType, std::uint64_t baseAddress,
    std::uint64_t size, std::string name, std::optional<std::span<const std::uint8_t>> uuid)
    : codeType_(codeType), imageBaseAddress_(baseAddress), imageSize_(size),
      imageName_(std::move(name)) {
    if (uuid) {
        imageUUID_ = lowerCaseHex(*uuid);
    }
}
