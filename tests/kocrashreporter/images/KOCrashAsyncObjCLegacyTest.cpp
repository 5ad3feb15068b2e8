// Legacy object metadata of 32-bit images in either byte order: every method of every class and
// metaclass named as a crash report names it, in both method-list forms and with both list-array
// ends; records pointing at memory that cannot be read end the walk with the read's code; and
// once an image showed modern metadata the legacy segment is no longer read.
#include "FixtureImages.h"
#include "LegacyObjcImage.h"
#include "images/KOCrashAsyncSymbols.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

using platform::mach::mach_task_self;

namespace {

constexpr std::uint32_t kSingleList = 0x4000;
constexpr std::uint32_t kMetaclassInfo = 0x2;
constexpr std::uint32_t kListsEnd = 0xffffffff;
#if defined(__x86_64__)
constexpr kocrash_error_t kUnreadableCode = KOCRASH_EACCESS;
#else
// The emulator reports inaccessible pages as absent.
constexpr kocrash_error_t kUnreadableCode = KOCRASH_ENOTFOUND;
#endif

using Method = std::tuple<bool, std::string, std::string, std::uint64_t>;

void collect(bool is_class_method, kocrash_async_macho_string* class_name,
             kocrash_async_macho_string* method_name, kocrash_vm_address_t implementation,
             void* context) {
    auto text = [](kocrash_async_macho_string* string) {
        const char* pointer;
        kocrash_vm_size_t length;
        if (kocrash_async_macho_string_get_pointer(string, &pointer) != KOCRASH_ESUCCESS ||
            kocrash_async_macho_string_get_length(string, &length) != KOCRASH_ESUCCESS) {
            return std::string("<unreadable>");
        }
        return std::string(pointer, length);
    };
    static_cast<std::vector<Method>*>(context)->emplace_back(is_class_method, text(class_name),
                                                             text(method_name), implementation);
}

void rememberName(kocrash_vm_address_t, const char* name, void* context) {
    *static_cast<std::string*>(context) = name;
}

class SymbolCache {
public:
    SymbolCache() { kocrash_async_symbol_cache_init(&cache); }
    ~SymbolCache() { kocrash_async_symbol_cache_free(&cache); }
    kocrash_async_symbol_cache cache;
};

// Where the test points records that must fail; unset fields keep the well-formed layout.
struct Breakage {
    std::optional<std::uint32_t> widgetSymtab;
    std::optional<std::uint32_t> widgetIsa;
    std::optional<std::uint32_t> widgetSecondList;
    std::optional<std::uint32_t> spinCount;
    std::optional<std::uint32_t> gadgetClass;
    std::optional<std::uint32_t> moduleInfoSize;
};

Breakage broken(std::optional<std::uint32_t> Breakage::*field, std::uint32_t value) {
    Breakage breakage;
    breakage.*field = value;
    return breakage;
}

// Two modules (and an empty one between them):
//   Widget: -draw and -resize in two lists of an array ended by 0; +shared in a single list of
//           a metaclass reached through an isa with its flag bit set.
//   Gadget: -spin in a single list; +make and +build in an array ended by 0xffffffff, after
//           which a list that must never be read follows.
//   Empty:  no method lists at all.
class LegacyImage {
public:
    explicit LegacyImage(bool swapped, const Breakage& breakage = {}) {
        const std::uint64_t base = pages_.address();
        auto at = [&](std::uint32_t offset) { return static_cast<std::uint32_t>(base + offset); };
        LegacyObjcSegment objc(base, swapped);

        const std::uint32_t widgetLists = objc.words(
            {objc.methodList({{"draw", at(0x100)}}),
             breakage.widgetSecondList.value_or(objc.methodList({{"resize", at(0x140)}})), 0});
        const std::uint32_t widgetMeta = objc.classRecord(0, "Widget", kMetaclassInfo | kSingleList,
                                                          objc.methodList({{"shared", at(0x180)}}));
        const std::uint32_t widget =
            objc.classRecord(breakage.widgetIsa.value_or(widgetMeta | 1), "Widget", 0, widgetLists);
        objc.module(breakage.widgetSymtab.value_or(objc.symtab({widget})));
        objc.module(0);

        const std::uint32_t spin = objc.methodList({{"spin", at(0x200)}});
        if (breakage.spinCount) {
            objc.words({0});
        }
        const std::uint32_t gadgetMeta = objc.classRecord(
            0, "Gadget", kMetaclassInfo,
            objc.words({objc.methodList({{"make", at(0x240)}, {"build", at(0x280)}}), kListsEnd,
                        objc.methodList({{"never", at(0x2c0)}})}));
        const std::uint32_t gadget = objc.classRecord(gadgetMeta, "Gadget", kSingleList, spin);
        const std::uint32_t emptyMeta = objc.classRecord(0, "Empty", kMetaclassInfo, 0);
        const std::uint32_t empty = objc.classRecord(emptyMeta, "Empty", 0, 0);
        objc.module(objc.symtab({breakage.gadgetClass.value_or(gadget), empty}));

        SyntheticImageSpec spec;
        spec.is64Bit = false;
        spec.swapped = swapped;
        spec.cpuType = CPU_TYPE_ARM;
        objc.addTo(spec);
        if (breakage.moduleInfoSize) {
            spec.objcSections.front().size = *breakage.moduleInfoSize;
        }
        SyntheticImage synthetic(spec);
        if (breakage.spinCount) {
            synthetic.put32(spin - base + 4, *breakage.spinCount);
        }
        pages_.place(synthetic);
        error_ = kocrash_nasync_macho_init(&image_, mach_task_self(), "legacy", base);
    }
    ~LegacyImage() {
        if (error_ == KOCRASH_ESUCCESS) {
            kocrash_nasync_macho_free(&image_);
        }
    }

    kocrash_error_t initError() const { return error_; }
    const kocrash_async_macho* image() const { return &image_; }
    std::uint64_t address(std::uint32_t offset) const { return pages_.address() + offset; }

    static std::uint32_t unreadable() { return failingPages().unreadable(); }
    static std::uint32_t unmapped() { return failingPages().unmapped(); }

private:
    // The failing pages of another placement stay as they are while images come and go.
    static const LegacyImagePages& failingPages() {
        static LegacyImagePages pages;
        return pages;
    }

    LegacyImagePages pages_;
    kocrash_async_macho image_{};
    kocrash_error_t error_ = KOCRASH_EUNKNOWN;
};

std::vector<Method> parse(const LegacyImage& legacy, kocrash_async_objc_cache* cache,
                          kocrash_error_t expected) {
    std::vector<Method> methods;
    EXPECT_EQ(kocrash_async_objc_parse(legacy.image(), cache, collect, &methods), expected);
    return methods;
}

class LegacyMetadata : public testing::TestWithParam<bool> {};

TEST_P(LegacyMetadata, ReportsEveryClassAndMetaclassMethodOnce) {
    LegacyImage legacy(GetParam());
    ASSERT_EQ(legacy.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    const std::vector<Method> expected{
        {false, "Widget", "draw", legacy.address(0x100)},
        {false, "Widget", "resize", legacy.address(0x140)},
        {true, "Widget", "shared", legacy.address(0x180)},
        {false, "Gadget", "spin", legacy.address(0x200)},
        {true, "Gadget", "make", legacy.address(0x240)},
        {true, "Gadget", "build", legacy.address(0x280)},
    };
    EXPECT_EQ(parse(legacy, &cache.cache, KOCRASH_ESUCCESS), expected);
    EXPECT_FALSE(cache.cache.modern_metadata_seen);
}

TEST_P(LegacyMetadata, NamesFramesWithTheClosestMethodBelow) {
    LegacyImage legacy(GetParam());
    ASSERT_EQ(legacy.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x100, "-[Widget draw]"},
        {0x13f, "-[Widget draw]"},
        {0x184, "+[Widget shared]"},
        {0x244, "+[Gadget make]"},
        // The list after the array's end is never read.
        {0x2c0, "+[Gadget build]"},
        {0xff, nullptr},
    };
    for (const auto& [pc, expected] : cases) {
        SCOPED_TRACE(pc);
        std::string name;
        EXPECT_EQ(kocrash_async_find_symbol(legacy.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                            &cache.cache, legacy.address(pc), rememberName, &name),
                  expected != nullptr ? KOCRASH_ESUCCESS : KOCRASH_ENOTFOUND);
        EXPECT_EQ(name, expected != nullptr ? expected : "");
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, LegacyMetadata, testing::Bool(),
                         [](const auto& info) { return info.param ? "swapped" : "native"; });

struct ReadFailure {
    const char* name;
    Breakage breakage;
    kocrash_error_t code;
    // Methods reported before the failing read; unset when the failing read is reached only
    // after entries of arbitrary bytes.
    std::optional<std::size_t> reported;
};

class LegacyReadFailures : public testing::TestWithParam<ReadFailure> {};

// An unmapped address reads as "not found", which leaves the image to the modern layout; this
// image has none, so the walk's code stands.
TEST_P(LegacyReadFailures, EndTheWalkWithTheReadsCode) {
    const ReadFailure& failure = GetParam();
    LegacyImage legacy(false, failure.breakage);
    ASSERT_EQ(legacy.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    const auto methods = parse(legacy, &cache.cache, failure.code);
    if (failure.reported) {
        EXPECT_EQ(methods.size(), *failure.reported);
    } else {
        EXPECT_GE(methods.size(), 3u);
    }
    std::string name;
    EXPECT_EQ(kocrash_async_find_symbol(legacy.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, legacy.address(0x100), rememberName, &name),
              KOCRASH_ENOTFOUND);
}

INSTANTIATE_TEST_SUITE_P(
    Records, LegacyReadFailures,
    testing::Values(
        ReadFailure{"symtab_unreadable", broken(&Breakage::widgetSymtab, LegacyImage::unreadable()),
                    kUnreadableCode, 0},
        ReadFailure{"method_list_unreadable",
                    broken(&Breakage::widgetSecondList, LegacyImage::unreadable()), kUnreadableCode,
                    1},
        ReadFailure{"method_list_array_unmapped",
                    broken(&Breakage::widgetSecondList, LegacyImage::unmapped()), KOCRASH_ENOTFOUND,
                    1},
        ReadFailure{"metaclass_unreadable",
                    broken(&Breakage::widgetIsa, LegacyImage::unreadable() | 1), kUnreadableCode,
                    2},
        ReadFailure{"class_unmapped", broken(&Breakage::gadgetClass, LegacyImage::unmapped()),
                    KOCRASH_ENOTFOUND, 3},
        ReadFailure{"module_records_run_past_the_image", broken(&Breakage::moduleInfoSize, 0x10000),
                    KOCRASH_ENOMEM, 0},
        ReadFailure{"entries_run_into_unreadable_memory", broken(&Breakage::spinCount, 0x10000000),
                    kUnreadableCode, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LegacyMetadataAfterModern, IsNoLongerRead) {
    LegacyImage legacy(false);
    ASSERT_EQ(legacy.initError(), KOCRASH_ESUCCESS);
    MappedFixture modern("metadata_arm64.dylib");
    ASSERT_EQ(modern.initError(), KOCRASH_ESUCCESS);
    SymbolCache cache;
    EXPECT_EQ(parse(legacy, &cache.cache, KOCRASH_ESUCCESS).size(), 6u);
    std::vector<Method> modernMethods;
    ASSERT_EQ(kocrash_async_objc_parse(modern.image(), &cache.cache, collect, &modernMethods),
              KOCRASH_ESUCCESS);
    EXPECT_FALSE(modernMethods.empty());
    ASSERT_TRUE(cache.cache.modern_metadata_seen);

    EXPECT_TRUE(parse(legacy, &cache.cache, KOCRASH_ENOTFOUND).empty());
    std::string name;
    EXPECT_EQ(kocrash_async_find_symbol(legacy.image(), KOCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                                        &cache.cache, legacy.address(0x100), rememberName, &name),
              KOCRASH_ENOTFOUND);
}

} // namespace
