// Checks a call-frame section as the crash-time readers see it in memory against readelf's
// view of the same section in the file: every FDE's range and CIE, and for every row at its
// first and last address the CFA rule and register rules that the CIE and FDE programs give.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"

#include <cstdint>
#include <string>

struct FrameSection {
    // The file readelf reads, and the section's name there.
    std::string path;
    std::string sectionName;
    // Where the section's bytes are in this process, and how many.
    std::uint64_t address;
    std::uint64_t size;
    // Added to readelf's addresses to give the ones the readers compute.
    std::uint64_t addressDelta;
    bool is64Bit;
    const kocrash_async_byteorder* byteorder;
    // ELF machine number, for readelf's register names.
    std::uint16_t machine;
};

struct FrameOracleCounts {
    std::size_t fdes = 0;
    std::size_t rowsChecked = 0;
    // FDEs with instructions the unwinder refuses (each checked to return "unsupported").
    std::size_t refusedFdes = 0;
    std::size_t searches = 0;
};

// Adds a test failure (with the first few differences spelled out) for every difference.
FrameOracleCounts checkFrameSectionAgainstReadelf(const FrameSection& section);

// The DWARF number readelf's name stands for on the machine; -1 when unknown.
std::int64_t dwarfRegisterNamed(std::uint16_t machine, const std::string& name);
