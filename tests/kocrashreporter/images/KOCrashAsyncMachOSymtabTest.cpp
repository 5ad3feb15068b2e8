// Symbol lookup against llvm-nm for every function of every fixture, at its first byte, its
// second byte and its last byte; the best-symbol rule on chosen tables; and symbol tables
// whose counts, indices or names point outside their data.
#include "images/KOCrashAsyncMachOSymtab.h"
#include "FixtureImages.h"
#include "MachOOracle.h"
#include "SyntheticImage.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

using platform::mach::mach_task_self;

namespace {

struct Found {
    int calls = 0;
    std::uint64_t address = 0;
    std::string name;
};

void record(kocrash_vm_address_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    ++found->calls;
    found->address = address;
    found->name = name;
}

Found lookUp(const kocrash_async_macho* image, std::uint64_t pc, kocrash_error_t expected = 0) {
    Found found;
    EXPECT_EQ(kocrash_async_macho_find_symbol_by_pc(image, pc, record, &found), expected)
        << std::hex << pc;
    return found;
}

// The large fixtures hold thousands of functions; every seventeenth keeps the run short while
// still covering every page of their tables.
std::size_t strideFor(const std::string& name) {
    return name.starts_with("many_") ? 17 : 1;
}

class SymbolsAgainstNm : public testing::TestWithParam<std::string> {};

TEST_P(SymbolsAgainstNm, EveryFunctionIsNamedAtItsStartSecondAndLastByte) {
    MappedFixture fixture(GetParam());
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    const auto functions = oracle::readFunctions(fixture.path());
    ASSERT_FALSE(functions.empty());
    for (std::size_t index = 0; index < functions.size(); index += strideFor(GetParam())) {
        const auto& function = functions[index];
        SCOPED_TRACE(function.symbol.name);
        const std::uint64_t start = fixture.slid(function.symbol.address);
        const std::uint64_t expected = start | (function.symbol.thumb ? 1 : 0);
        for (std::uint64_t pc : {start, start + 1, fixture.slid(function.end) - 1}) {
            Found found = lookUp(fixture.image(), pc);
            EXPECT_EQ(found.calls, 1);
            EXPECT_EQ(found.name, function.symbol.name);
            EXPECT_EQ(found.address, expected);
        }
        kocrash_vm_address_t byName = 0;
        EXPECT_EQ(kocrash_async_macho_find_symbol_by_name(fixture.image(),
                                                          function.symbol.name.c_str(), &byName),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(byName, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SymbolsAgainstNm, testing::ValuesIn(symbolFixtures()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(SymbolsAgainstNm, ThumbFunctionsCarryBitZero) {
    MappedFixture fixture("functions_armv7.dylib");
    ASSERT_EQ(fixture.initError(), KOCRASH_ESUCCESS);
    int thumb = 0;
    for (const auto& function : oracle::readFunctions(fixture.path())) {
        thumb += function.symbol.thumb ? 1 : 0;
    }
    EXPECT_GT(thumb, 0) << "the armv7 fixture is Thumb code";
}

struct SymbolCase {
    std::vector<SyntheticSymbol> symbols;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> dynamic;
    std::uint64_t pc;
    kocrash_error_t error;
    std::string name;
    std::uint64_t value;
};

TEST(SymbolTableRules, BestSymbolOverChosenTables) {
    const std::uint8_t local = N_SECT;
    const std::uint8_t global = N_SECT | N_EXT;
    const std::vector<SymbolCase> cases{
        // Ties keep the earlier entry.
        {{{"_first", 0x1000}, {"_second", 0x1000}}, {}, 0x1010, 0, "_first", 0x1000},
        // A local symbol closer to pc wins over the global ones.
        {{{"_near", 0x1008, local}, {"_first", 0x1000}, {"_second", 0x1000}},
         std::pair{1u, 2u},
         0x1010,
         0,
         "_near",
         0x1008},
        // An equally close local symbol does not.
        {{{"_local", 0x1000, local}, {"_global", 0x1000, global}},
         std::pair{1u, 1u},
         0x1004,
         0,
         "_global",
         0x1000},
        {{{"_above", 0x2000}}, {}, 0x1000, KOCRASH_ENOTFOUND, "", 0},
        // Debugging entries and undefined symbols never name code.
        {{{"_stab", 0x1000, 0x24}, {"_undefined", 0x1000, N_UNDF | N_EXT}},
         {},
         0x1004,
         KOCRASH_ENOTFOUND,
         "",
         0},
        {{{"_thumb", 0x2000, global, N_ARM_THUMB_DEF}}, {}, 0x2002, 0, "_thumb", 0x2001},
    };
    for (bool swapped : {false, true}) {
        for (bool wide : {false, true}) {
            for (const auto& testCase : cases) {
                SCOPED_TRACE(testCase.name + (swapped ? " swapped" : "") + (wide ? " 64" : " 32"));
                SyntheticImageSpec spec;
                spec.is64Bit = wide;
                spec.swapped = swapped;
                spec.symbols = testCase.symbols;
                spec.dynamicSymbols = testCase.dynamic;
                SyntheticImage synthetic(spec);
                kocrash_async_macho image{};
                ASSERT_EQ(kocrash_nasync_macho_init(&image, mach_task_self(), "synthetic",
                                                    synthetic.address()),
                          KOCRASH_ESUCCESS);
                Found found = lookUp(&image, synthetic.address() + testCase.pc, testCase.error);
                if (testCase.error == KOCRASH_ESUCCESS) {
                    EXPECT_EQ(found.name, testCase.name);
                    EXPECT_EQ(found.address, synthetic.address() + testCase.value);
                } else {
                    EXPECT_EQ(found.calls, 0);
                }
                kocrash_nasync_macho_free(&image);
            }
        }
    }
}

class HostileSymbolTable : public testing::Test {
protected:
    HostileSymbolTable() : synthetic_(spec()) {}
    static SyntheticImageSpec spec() {
        SyntheticImageSpec spec;
        spec.symbols = {{"_local", 0x100, N_SECT}, {"_global", 0x200}};
        spec.dynamicSymbols = std::pair{1u, 1u};
        return spec;
    }
    kocrash_error_t lookUpAfterInit(std::uint64_t pc) {
        kocrash_async_macho image{};
        EXPECT_EQ(
            kocrash_nasync_macho_init(&image, mach_task_self(), "hostile", synthetic_.address()),
            KOCRASH_ESUCCESS);
        Found found;
        kocrash_error_t error = kocrash_async_macho_find_symbol_by_pc(
            &image, synthetic_.address() + pc, record, &found);
        kocrash_nasync_macho_free(&image);
        return error;
    }
    SyntheticImage synthetic_;
};

TEST_F(HostileSymbolTable, AShortSymtabCommandIsAnError) {
    synthetic_.put32(synthetic_.commandOffsets(LC_SYMTAB)[0] + 4, 16);
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINVAL);
}

TEST_F(HostileSymbolTable, AShortDynamicSymtabCommandIsAnError) {
    synthetic_.put32(synthetic_.commandOffsets(LC_DYSYMTAB)[0] + 4, 24);
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINVAL);
}

TEST_F(HostileSymbolTable, SymbolIndicesBeyondTheTableAreAnError) {
    const std::size_t dysymtab = synthetic_.commandOffsets(LC_DYSYMTAB)[0];
    synthetic_.put32(dysymtab + 16, 2); // iextdefsym
    synthetic_.put32(dysymtab + 20, 5); // nextdefsym
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINVAL);
}

TEST_F(HostileSymbolTable, IndexSumsThatWouldWrapAreAnError) {
    const std::size_t dysymtab = synthetic_.commandOffsets(LC_DYSYMTAB)[0];
    synthetic_.put32(dysymtab + 8, 0xffffffff); // ilocalsym
    synthetic_.put32(dysymtab + 12, 2);         // nlocalsym
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINVAL);
}

TEST_F(HostileSymbolTable, ASymbolCountBeyondLinkeditCannotBeMapped) {
    synthetic_.put32(synthetic_.commandOffsets(LC_SYMTAB)[0] + 12, 0x10000000);
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINTERNAL);
}

TEST_F(HostileSymbolTable, ANameOutsideTheStringTableIsUnreadable) {
    // The string table is the tail of __LINKEDIT; shrinking it leaves "_global" outside.
    synthetic_.put32(synthetic_.commandOffsets(LC_SYMTAB)[0] + 20, 4);
    EXPECT_EQ(lookUpAfterInit(0x300), KOCRASH_EINVAL);
}

TEST(SymbolTableRules, AnImageWithoutSymtabHasNoSymbols) {
    SyntheticImageSpec spec;
    spec.withSymtab = false;
    SyntheticImage synthetic(spec);
    kocrash_async_macho image{};
    ASSERT_EQ(kocrash_nasync_macho_init(&image, mach_task_self(), "bare", synthetic.address()),
              KOCRASH_ESUCCESS);
    lookUp(&image, synthetic.address() + 0x10, KOCRASH_ENOTFOUND);
    kocrash_vm_address_t pc;
    EXPECT_EQ(kocrash_async_macho_find_symbol_by_name(&image, "_x", &pc), KOCRASH_ENOTFOUND);
    kocrash_nasync_macho_free(&image);
}

} // namespace
