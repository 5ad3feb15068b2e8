// Text fields of a crash log are stored UTF-8 but nothing checks them when the file is read;
// report values hold only valid UTF-8 so that every consumer (text, JSON) can rely on it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The bytes with every invalid UTF-8 byte replaced by U+FFFD.
std::string kocrash_report_valid_utf8(std::string_view bytes);

// Number of UTF-16 code units of valid UTF-8 text (what a 16-bit-unit column counts).
std::size_t kocrash_report_utf16_length(std::string_view validUtf8);
