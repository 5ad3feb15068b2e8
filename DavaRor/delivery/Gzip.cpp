#include "DavaRor/delivery/Gzip.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <string_view>

namespace davaror {

namespace {

constexpr size_t outputGrowth = 16384;
constexpr char unknownGzipError[] = "Unknown gzip error";

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        char32_t value = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        static constexpr char32_t smallestForLength[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallestForLength[length] || value > 0x10FFFF ||
            (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace

GzipError::Kind GzipError::Kind::fromCode(int zlibCode) {
    switch (zlibCode) {
    case Z_STREAM_ERROR:
        return {Case::stream, zlibCode};
    case Z_DATA_ERROR:
        return {Case::data, zlibCode};
    case Z_MEM_ERROR:
        return {Case::memory, zlibCode};
    case Z_BUF_ERROR:
        return {Case::buffer, zlibCode};
    case Z_VERSION_ERROR:
        return {Case::version, zlibCode};
    default:
        return {Case::unknown, zlibCode};
    }
}

GzipError::GzipError(int zlibCode, const char* zlibMessage)
    : kind_(Kind::fromCode(zlibCode)),
      message_(zlibMessage != nullptr && isValidUtf8(zlibMessage) ? zlibMessage
                                                                  : unknownGzipError) {}

std::string gzipped(std::string_view data, CompressionLevel level, std::int32_t wBits) {
    if (data.empty()) {
        return {};
    }
    if (data.size() > std::numeric_limits<uInt>::max()) {
        throw GzipError(Z_BUF_ERROR, "Input of 4 GiB or more cannot be compressed");
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    const int initResult =
        deflateInit2(&stream, level.rawValue, Z_DEFLATED, wBits, 9, Z_DEFAULT_STRATEGY);
    if (initResult != Z_OK) {
        throw GzipError(initResult, stream.msg);
    }

    std::string output;
    output.reserve(outputGrowth);
    int status = Z_OK;
    do {
        if (stream.total_out >= output.size()) {
            output.resize(output.size() + outputGrowth);
        }
        // zlib only reads through next_in, whatever its declared constness.
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + stream.total_in));
        stream.avail_in = static_cast<uInt>(data.size() - stream.total_in);
        stream.next_out = reinterpret_cast<Bytef*>(output.data() + stream.total_out);
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
        stream.next_in = nullptr;
        stream.next_out = nullptr;
    } while (stream.avail_out == 0 && status != Z_STREAM_END);

    const int endResult = deflateEnd(&stream);
    if (endResult != Z_OK || status != Z_STREAM_END) {
        throw GzipError(status, stream.msg);
    }
    output.resize(stream.total_out);
    return output;
}

} // namespace davaror
