// What a loaded object's dynamic section says about finding libraries: the name the loader knows
// it by, the libraries it needs, and its search paths as written (unexpanded). Normal context
// only.
#pragma once

#include <link.h>
#include <optional>
#include <string>
#include <vector>

namespace platform::dyld {

struct DynamicEntries {
    // "" where the object has none.
    std::string soname;
    std::vector<std::string> needed;
    std::optional<std::string> rPath;
    std::optional<std::string> runPath;
};

// dynamic: the object's dynamic section as mapped; base: its load bias. Empty without one. An
// entry whose text does not lie within DT_STRSZ is left out.
DynamicEntries dynamicEntriesOf(const ElfW(Dyn) * dynamic, ElfW(Addr) base);
DynamicEntries dynamicEntriesOf(const dl_phdr_info& info);

} // namespace platform::dyld
