// The one text form of image UUIDs, for handled errors and crash reports alike: upper-case
// hexadecimal grouped 8-4-4-4-12 with dashes. On Linux an image's UUID is the first 16 bytes
// of its GNU build-id.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

std::string uuidText(std::span<const std::uint8_t, 16> bytes);

// Without dashes and in upper case, 32 characters are put in the dashed form; any other text
// is returned unchanged.
std::string formattedAsUUID(std::string_view text);
