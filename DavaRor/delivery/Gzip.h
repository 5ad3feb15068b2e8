// Gzip compression of upload bodies: zlib's deflate over the whole buffer in
// one pass.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace davaror {

struct CompressionLevel {
    std::int32_t rawValue;

    constexpr explicit CompressionLevel(std::int32_t raw) : rawValue(raw) {}

    static const CompressionLevel noCompression;
    static const CompressionLevel bestSpeed;
    static const CompressionLevel bestCompression;
    static const CompressionLevel defaultCompression;
};

inline constexpr CompressionLevel CompressionLevel::noCompression{0};
inline constexpr CompressionLevel CompressionLevel::bestSpeed{1};
inline constexpr CompressionLevel CompressionLevel::bestCompression{9};
inline constexpr CompressionLevel CompressionLevel::defaultCompression{-1};

namespace Gzip {
inline constexpr std::int32_t maxWindowBits = 15;
// Adding 16 to the window bits asks zlib for the gzip header and trailer.
inline constexpr std::int32_t gzipWindowBits = maxWindowBits + 16;
} // namespace Gzip

class GzipError : public std::exception {
public:
    class Kind {
    public:
        enum class Case { unknown, stream, data, memory, buffer, version };

        static Kind fromCode(int zlibCode);

        Case value() const { return case_; }
        // The zlib code that an `unknown` kind carries.
        int unknownCode() const { return code_; }

        friend bool operator==(const Kind& a, const Kind& b) {
            return a.case_ == b.case_ && (a.case_ != Case::unknown || a.code_ == b.code_);
        }

    private:
        Kind(Case value, int code) : case_(value), code_(code) {}

        Case case_;
        int code_;
    };

    // `zlibMessage` is the stream's message, possibly null.
    GzipError(int zlibCode, const char* zlibMessage);

    const Kind& kind() const { return kind_; }
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    std::string message_;
};

// An empty input gives an empty result. Inputs of 4 GiB or more do not fit
// zlib's 32-bit counters and fail with a `buffer` error.
std::string gzipped(std::string_view data,
                    CompressionLevel level = CompressionLevel::defaultCompression,
                    std::int32_t wBits = Gzip::gzipWindowBits);

} // namespace davaror
