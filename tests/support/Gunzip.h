// Inflates a gzip member with zlib, checking that nothing trails it.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

inline std::string gunzip(const std::string& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    std::string output;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        char chunk[65536];
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        output.append(chunk, sizeof chunk - stream.avail_out);
    }
    EXPECT_EQ(status, Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u) << "trailing bytes after the gzip member";
    inflateEnd(&stream);
    return output;
}
