// Symbolication by the object metadata of a linked image, named as llvm-objdump lists the
// methods, and combined with the symbol table; the cache across images; method lists whose
// entry size would make the walk loop over itself; records the runtime placed outside the image.
#include "images/KOCrashAsyncSymbols.h"
#include "FixtureImages.h"
#include "MachOOracle.h"
#include "SyntheticImage.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

using platform::mach::mach_task_self;

namespace {

struct Named {
    int calls = 0;
    std::uint64_t address = 0;
    std::string name;
};

void record(kocrash_vm_address_t address, const char* name, void* context) {
    auto* named = static_cast<Named*>(context);
    ++named->calls;
    named->address = address;
    named->name = name;
}

class SymbolCache {
public:
    SymbolCache() { kocrash_async_symbol_cache_init(&cache); }
    ~SymbolCache() { kocrash_async_symbol_cache_free(&cache); }
    kocrash_async_symbol_cache cache;
};

std::uint64_t nmAddress(const std::string& image, const std::string& name) {
    for (const auto& symbol : oracle::readSymbols(image)) {
        if (symbol.name == name) {
            return symbol.address;
        }
    }
    throw std::runtime_error("llvm-nm lists no " + name);
}

// "-[Root(Extras) doubled]" is reported under its class: "-[Root doubled]".
std::string withoutCategory(const std::string& name) {
    return std::regex_replace(name, std::regex(R"(\([^)]*\))"), "");
}

class MetadataNames : public testing::TestWithParam<std::string> {};

TEST_P(MetadataNames, EveryMethodIsNamedAsObjdumpListsIt) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const auto methods = oracle::readMethodImplementations(fixture.path());
    ASSERT_GE(methods.size(), 5u);
    SymbolCache cache;
    for (const auto& method : methods) {
        SCOPED_TRACE(method);
        const std::uint64_t implementation = fixture.slid(nmAddress(fixture.path(), method));
        for (std::uint64_t pc : {implementation, implementation + 1}) {
            Named named;
            ASSERT_EQ(kocrash_async_find_symbol(fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                                &cache.cache, pc, record, &named),
                      KOCRASH_ESUCCESS);
            EXPECT_EQ(named.calls, 1);
            EXPECT_EQ(named.name, withoutCategory(method));
            EXPECT_EQ(named.address, implementation);
        }
        // With both strategies the two candidates start at the same address: the metadata's
        // bracketed name wins.
        Named both;
        ASSERT_EQ(kocrash_async_find_symbol(fixture.image(),
                                            KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC |
                                                KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE,
                                            &cache.cache, implementation, record, &both),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(both.name, withoutCategory(method));
    }
    EXPECT_TRUE(cache.cache.modern_metadata_seen);
    EXPECT_EQ(cache.cache.last_image, fixture.image());
    EXPECT_EQ(cache.cache.class_cache_size, 1024u);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MetadataNames,
                         testing::Values("metadata_arm64.dylib", "metadata_x86_64.dylib"),
                         [](const auto& info) {
                             return info.param.substr(0, info.param.find('.'));
                         });

TEST(SymbolStrategies, NoStrategyNamesNothingAndAFunctionBelowEveryMethodHasNoMethod) {
    MappedFixture fixture("metadata_arm64.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    Named named;
    const std::uint64_t first = fixture.slid(nmAddress(fixture.path(), "-[Root value]"));
    EXPECT_EQ(kocrash_async_find_symbol(fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_NONE,
                                        &cache.cache, first, record, &named),
              KOCRASH_ENOTFOUND);
    EXPECT_EQ(kocrash_async_find_symbol(fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, first - 1, record, &named),
              KOCRASH_ENOTFOUND);
    EXPECT_EQ(named.calls, 0);
}

TEST(SymbolStrategies, TheSymbolTableNamesFunctionsOfImagesWithoutMetadata) {
    MappedFixture fixture("functions_arm64.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    const std::uint64_t leaf = fixture.slid(nmAddress(fixture.path(), "_leaf_add"));
    Named named;
    ASSERT_EQ(kocrash_async_find_symbol(fixture.image(),
                                        KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE |
                                            KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, leaf + 2, record, &named),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(named.name, "_leaf_add");
    EXPECT_EQ(named.address, leaf);
    EXPECT_EQ(kocrash_async_find_symbol(fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, leaf + 2, record, &named),
              KOCRASH_ENOTFOUND);
}

TEST(SymbolStrategies, LongNamesAreCutAt255Characters) {
    SyntheticImageSpec spec;
    spec.symbols = {{std::string(300, 'n'), 0x100}};
    SyntheticImage synthetic(spec);
    kocrash_async_macho image{};
    ASSERT_EQ(kocrash_nasync_macho_init(&image, mach_task_self(), "long", synthetic.address()),
              KOCRASH_ESUCCESS);
    SymbolCache cache;
    Named named;
    ASSERT_EQ(kocrash_async_find_symbol(&image, KOCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE,
                                        &cache.cache, synthetic.address() + 0x104, record, &named),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(named.name, std::string(255, 'n'));
    kocrash_nasync_macho_free(&image);
}

// The metadata fixture's instance method list patched to an entry size of 0: walking it would
// visit the same bytes 2^32 times at crash time.
TEST(MetadataWalk, MethodListsWithEntriesSmallerThanAnEntryAreRejected) {
    MappedFixture fixture("metadata_arm64.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const std::uint64_t list =
        nmAddress(fixture.path(), "__OBJC_$_INSTANCE_METHODS_Root") - fixture.image()->text_address;
    for (std::uint32_t entsize : {0u, 8u, 23u}) {
        SCOPED_TRACE(entsize);
        std::memcpy(fixture.mapping().bytes().data() + list, &entsize, 4);
        SymbolCache cache;
        Named named;
        EXPECT_EQ(kocrash_async_find_symbol(
                      fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &cache.cache,
                      fixture.slid(nmAddress(fixture.path(), "-[Root value]")), record, &named),
                  KOCRASH_ENOTFOUND);
        EXPECT_EQ(kocrash_async_objc_parse(
                      fixture.image(), &cache.cache,
                      [](bool, kocrash_async_macho_string*, kocrash_async_macho_string*,
                         kocrash_vm_address_t, void*) {},
                      nullptr),
                  KOCRASH_EINVALID_DATA);
    }
    // A list of no entries has nothing to read, whatever entry size it claims.
    const std::uint32_t empty[] = {0, 0};
    std::memcpy(fixture.mapping().bytes().data() + list, empty, sizeof empty);
    SymbolCache cache;
    EXPECT_EQ(kocrash_async_objc_parse(
                  fixture.image(), &cache.cache,
                  [](bool, kocrash_async_macho_string*, kocrash_async_macho_string*,
                     kocrash_vm_address_t, void*) {},
                  nullptr),
              KOCRASH_ESUCCESS);
}

// A class whose read-only record the runtime moved to memory of its own: the record is read
// from the task, although the class is neither realized nor marked as copied.
TEST(MetadataWalk, AReadOnlyRecordOutsideTheImageIsReadFromTheTask) {
    MappedFixture fixture("metadata_arm64.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const std::uint64_t classRecord =
        nmAddress(fixture.path(), "_OBJC_CLASS_$_Root") - fixture.image()->text_address;
    std::uint8_t* data = fixture.mapping().bytes().data() + classRecord + 32;
    std::uint64_t readOnly;
    std::memcpy(&readOnly, data, sizeof readOnly);
    alignas(8) std::uint8_t moved[72];
    std::memcpy(moved, reinterpret_cast<const void*>(readOnly), sizeof moved);
    const auto movedAddress = reinterpret_cast<std::uint64_t>(moved);
    std::memcpy(data, &movedAddress, sizeof movedAddress);
    SymbolCache cache;
    Named named;
    const std::uint64_t value = fixture.slid(nmAddress(fixture.path(), "-[Root value]"));
    ASSERT_EQ(kocrash_async_find_symbol(fixture.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, value, record, &named),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(named.name, "-[Root value]");
}

} // namespace
