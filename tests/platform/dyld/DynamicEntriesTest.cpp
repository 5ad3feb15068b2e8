// A dynamic section's names are read from its string table only within DT_STRSZ: an entry that
// points past the table, or at text that runs past its end, is taken as absent.
#include "platform/dyld/DynamicEntries.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <link.h>

namespace {

// "libneeded.so\0" then "runpath" with its terminator left outside the table's stated size.
constexpr char kStrings[] = "\0libneeded.so\0runpath";
constexpr std::size_t kStringsSize = sizeof(kStrings) - 1;

ElfW(Dyn) entry(ElfW(Sxword) tag, std::uintptr_t value) {
    ElfW(Dyn) dynamic{};
    dynamic.d_tag = tag;
    dynamic.d_un.d_val = value;
    return dynamic;
}

TEST(DynamicEntries, NamesOutsideTheStringTableAreLeftOut) {
    const ElfW(Dyn) dynamic[] = {
        entry(DT_STRTAB, reinterpret_cast<std::uintptr_t>(kStrings)),
        entry(DT_STRSZ, kStringsSize),
        entry(DT_SONAME, kStringsSize + 100),
        entry(DT_NEEDED, 1),
        entry(DT_NEEDED, kStringsSize),
        entry(DT_RUNPATH, 14),
        entry(DT_NULL, 0),
    };
    const auto entries = platform::dyld::dynamicEntriesOf(dynamic, 0);
    EXPECT_EQ(entries.soname, "");
    EXPECT_EQ(entries.needed, std::vector<std::string>{"libneeded.so"});
    EXPECT_FALSE(entries.runPath);
    EXPECT_FALSE(entries.rPath);
}

} // namespace
