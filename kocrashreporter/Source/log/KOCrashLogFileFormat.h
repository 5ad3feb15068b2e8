// The crash log file's fixed head: 7 magic bytes and a version byte, followed by the fields
// of one kocrash.CrashReport message up to the end of the file. Constants only: safe to use
// at crash time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::array<std::uint8_t, 7> KOCrashLogFileMagic = {'k', 'o', 'c', 'r',
                                                                    'a', 's', 'h'};
inline constexpr std::uint8_t KOCrashLogFileVersion = 1;
inline constexpr std::size_t KOCrashLogFileHeaderSize = KOCrashLogFileMagic.size() + 1;
