// The oracle for call-frame tables: what `readelf --debug-dump=frames-interp` (rows of CFA and
// register rules per FDE) and `readelf --debug-dump=frames` (CIE versions, the raw
// instructions) print for one section of a file. readelf is run at test time, so nothing here
// is copied by hand.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ReadelfRow {
    std::uint64_t location = 0;
    // "reg+offset", "reg-offset" or "exp".
    std::string cfa;
    // Column name (a register name, or "ra" for the return-address column) to its rule: "u",
    // "s", "c<offset>", "v<offset>", a register name, "exp" or "vexp".
    std::map<std::string, std::string> columns;
};

struct ReadelfCie {
    std::uint64_t offset = 0;
    int version = 0;
    std::string augmentation;
    std::uint64_t codeAlignment = 0;
    std::int64_t dataAlignment = 0;
    std::uint64_t returnAddressRegister = 0;
    // Rows printed for the initial instructions (none when they are all nops).
    std::vector<ReadelfRow> rows;
    // The initial instructions hold one the unwinder refuses.
    bool refused = false;
};

struct ReadelfFde {
    std::uint64_t offset = 0;
    std::uint64_t cieOffset = 0;
    std::uint64_t pcBegin = 0;
    std::uint64_t pcEnd = 0;
    std::vector<ReadelfRow> rows;
    // Location of the first instruction the unwinder refuses, if any.
    std::optional<std::uint64_t> refusedFrom;
};

struct ReadelfFrames {
    std::map<std::uint64_t, ReadelfCie> cies;
    std::vector<ReadelfFde> fdes;
};

// sectionName: ".eh_frame" or ".debug_frame". Throws std::runtime_error when readelf cannot be
// run or prints nothing for the section.
ReadelfFrames readelfFrames(const std::string& path, const std::string& sectionName);
