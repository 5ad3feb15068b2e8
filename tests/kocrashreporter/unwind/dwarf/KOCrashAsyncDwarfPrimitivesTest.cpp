// LEB128 and fixed-width reads, GNU pointer encodings in every format and application, and
// the bounded instruction stream, over real memory that ends before an unmapped page.
#include "unwind/KOCrashAsyncDwarfPrimitives.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfEncoding.h"
#include "unwind/KOCrashAsyncDwarfOpStream.h"

#include "DwarfBytes.h"
#include "GuardedPages.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

const kocrash_async_byteorder* little() {
    return kocrash_async_byteorder_little_endian();
}
const kocrash_async_byteorder* big() {
    return kocrash_async_byteorder_big_endian();
}

std::uint64_t addressOf(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// Nothing is ever mapped in the first page, whatever else a test maps meanwhile.
constexpr std::uint64_t kUnmapped = 0x10;

struct LebCase {
    std::vector<std::uint8_t> bytes;
    std::uint64_t value;
    kocrash_vm_size_t size;
};

TEST(KOCrashAsyncDwarfLeb128, UnsignedValuesDecodeWithTheirSizes) {
    const std::vector<LebCase> cases = {
        {{0x00}, 0, 1},
        {{0x7F}, 127, 1},
        {{0x80, 0x01}, 128, 2},
        {{0xE5, 0x8E, 0x26}, 624485, 3},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1ull << 63, 10},
        // Of a tenth byte only the lowest payload bit counts.
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, ~0ull, 10},
    };
    for (const LebCase& test : cases) {
        MappedBytes mapped(test.bytes);
        std::uint64_t value = 0;
        kocrash_vm_size_t size = 0;
        ASSERT_EQ(
            kocrash_async_dwarf_read_uleb128(mapped.mobj(), mapped.address(), 0, &value, &size),
            KOCRASH_ESUCCESS);
        EXPECT_EQ(value, test.value);
        EXPECT_EQ(size, test.size);
        ASSERT_EQ(kocrash_async_dwarf_read_task_uleb128(mach_task_self(), mapped.address(), 0,
                                                        &value, &size),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(value, test.value);
        EXPECT_EQ(size, test.size);
    }
}

TEST(KOCrashAsyncDwarfLeb128, SignedValuesSignExtendBelowSixtyFourBits) {
    const std::vector<std::pair<std::vector<std::uint8_t>, std::int64_t>> cases = {
        {{0x7F}, -1},
        {{0x80, 0x7F}, -128},
        {{0x3F}, 63},
        {{0x40}, -64},
        {{0xC0, 0x00}, 64},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F},
         std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& [bytes, expected] : cases) {
        MappedBytes mapped(bytes);
        std::int64_t value = 0;
        kocrash_vm_size_t size = 0;
        ASSERT_EQ(
            kocrash_async_dwarf_read_sleb128(mapped.mobj(), mapped.address(), 0, &value, &size),
            KOCRASH_ESUCCESS);
        EXPECT_EQ(value, expected);
        EXPECT_EQ(size, bytes.size());
        ASSERT_EQ(kocrash_async_dwarf_read_task_sleb128(mach_task_self(), mapped.address(), 0,
                                                        &value, &size),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(value, expected);
    }
}

TEST(KOCrashAsyncDwarfLeb128, OverlongAndTruncatedValuesFail) {
    MappedBytes overlong(std::vector<std::uint8_t>(11, 0x80));
    std::uint64_t value = 7;
    kocrash_vm_size_t size = 7;
    EXPECT_EQ(
        kocrash_async_dwarf_read_uleb128(overlong.mobj(), overlong.address(), 0, &value, &size),
        KOCRASH_ENOTSUP);
    std::int64_t signedValue;
    EXPECT_EQ(kocrash_async_dwarf_read_sleb128(overlong.mobj(), overlong.address(), 1, &signedValue,
                                               &size),
              KOCRASH_ENOTSUP);

    // The value's last byte would lie past the end of the mapping.
    MappedBytes cut(std::vector<std::uint8_t>{0x01, 0x80, 0x80});
    EXPECT_EQ(kocrash_async_dwarf_read_uleb128(cut.mobj(), cut.address(), 1, &value, &size),
              KOCRASH_EINVAL);
    EXPECT_EQ(
        kocrash_async_dwarf_read_task_uleb128(mach_task_self(), cut.address(), 1, &value, &size),
        KOCRASH_EINVAL);
    EXPECT_EQ(value, 7u);

    EXPECT_EQ(kocrash_async_dwarf_read_task_uleb128(mach_task_self(), kUnmapped, 0, &value, &size),
              KOCRASH_ENOMEM);
    EXPECT_EQ(kocrash_async_dwarf_read_uleb128(cut.mobj(), ~0ull, 2, &value, &size),
              KOCRASH_EINVAL);
}

TEST(KOCrashAsyncDwarfFixedWidth, EachWidthInBothByteOrders) {
    MappedBytes mapped(std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    std::uint64_t value;
    const std::pair<kocrash_vm_size_t, std::pair<std::uint64_t, std::uint64_t>> cases[] = {
        {1, {0x01, 0x01}},
        {2, {0x0201, 0x0102}},
        {4, {0x04030201, 0x01020304}},
        {8, {0x0807060504030201, 0x0102030405060708}},
    };
    for (const auto& [size, expected] : cases) {
        ASSERT_EQ(kocrash_async_dwarf_read_uintmax64(mapped.mobj(), little(), mapped.address(), 0,
                                                     size, &value),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(value, expected.first);
        ASSERT_EQ(kocrash_async_dwarf_read_uintmax64(mapped.mobj(), big(), mapped.address(), 0,
                                                     size, &value),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(value, expected.second);
        ASSERT_EQ(kocrash_async_dwarf_read_task_uintmax64(mach_task_self(), big(), mapped.address(),
                                                          0, size, &value),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(value, expected.second);
    }
    std::uint32_t narrow;
    ASSERT_EQ(kocrash_async_dwarf_read_uintmax64(mapped.mobj(), little(), mapped.address(), 0, 8,
                                                 &narrow),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(narrow, 0x04030201u);

    EXPECT_EQ(
        kocrash_async_dwarf_read_uintmax64(mapped.mobj(), little(), mapped.address(), 0, 3, &value),
        KOCRASH_EINVAL);
    EXPECT_EQ(kocrash_async_dwarf_read_task_uintmax64(mach_task_self(), little(), mapped.address(),
                                                      0, 3, &value),
              KOCRASH_EINVAL);
    EXPECT_EQ(
        kocrash_async_dwarf_read_uintmax64(mapped.mobj(), little(), mapped.address(), 1, 8, &value),
        KOCRASH_EINVAL);
    // Past the mapping, the task read reports the kernel's verdict.
    EXPECT_EQ(kocrash_async_dwarf_read_task_uintmax64(mach_task_self(), little(), mapped.address(),
                                                      1, 8, &value),
              KOCRASH_ENOTFOUND);
}

template <typename word> struct Decoded {
    kocrash_error_t error;
    word value;
    kocrash_vm_size_t size;
};

template <typename word>
Decoded<word> decode(const DwarfBytes& bytes, std::uint8_t encoding,
                     const gnu_ehptr_reader<word>& reader, kocrash_vm_off_t offset = 0) {
    MappedBytes mapped(bytes);
    Decoded<word> result{0, 0, 99};
    result.error =
        reader.read(mapped.mobj(), mapped.address(), offset, encoding, &result.value, &result.size);
    return result;
}

template <typename word> Decoded<word> decode(const DwarfBytes& bytes, std::uint8_t encoding) {
    return decode(bytes, encoding, gnu_ehptr_reader<word>(little()));
}

TEST(KOCrashAsyncDwarfPointerEncoding, EveryValueFormat) {
    struct Case {
        std::uint8_t format;
        DwarfBytes bytes;
        std::uint64_t value;
        kocrash_vm_size_t size;
    };
    const Case cases[] = {
        {DW_EH_PE_absptr, DwarfBytes().u64(0x1122334455667788), 0x1122334455667788, 8},
        {DW_EH_PE_uleb128, DwarfBytes().uleb(624485), 624485, 3},
        {DW_EH_PE_udata2, DwarfBytes().u16(0xFFFE), 0xFFFE, 2},
        {DW_EH_PE_udata4, DwarfBytes().u32(0xFFFFFFFE), 0xFFFFFFFE, 4},
        {DW_EH_PE_udata8, DwarfBytes().u64(0x8000000000000001), 0x8000000000000001, 8},
        {DW_EH_PE_sleb128, DwarfBytes().sleb(-300), static_cast<std::uint64_t>(-300), 2},
        {DW_EH_PE_sdata2, DwarfBytes().u16(0xFFFE), static_cast<std::uint64_t>(-2), 2},
        {DW_EH_PE_sdata4, DwarfBytes().u32(0xFFFFFFF0), static_cast<std::uint64_t>(-16), 4},
        {DW_EH_PE_sdata8, DwarfBytes().u64(0xFFFFFFFFFFFFFFFF), ~0ull, 8},
    };
    for (const Case& test : cases) {
        Decoded<std::uint64_t> decoded = decode<std::uint64_t>(test.bytes, test.format);
        ASSERT_EQ(decoded.error, KOCRASH_ESUCCESS) << int(test.format);
        EXPECT_EQ(decoded.value, test.value) << int(test.format);
        EXPECT_EQ(decoded.size, test.size) << int(test.format);
    }
    // The 32-bit reader's machine word is 4 bytes, and wider values are cut to it.
    Decoded<std::uint32_t> word32 = decode<std::uint32_t>(DwarfBytes().u64(~0ull), DW_EH_PE_absptr);
    EXPECT_EQ(word32.value, 0xFFFFFFFFu);
    EXPECT_EQ(word32.size, 4u);
    Decoded<std::uint32_t> cut =
        decode<std::uint32_t>(DwarfBytes().u64(0x100000010), DW_EH_PE_udata8);
    EXPECT_EQ(cut.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(cut.value, 0x10u);
    EXPECT_EQ(cut.size, 8u);
    Decoded<std::uint32_t> negative =
        decode<std::uint32_t>(DwarfBytes().u16(0x8000), DW_EH_PE_sdata2);
    EXPECT_EQ(negative.value, 0xFFFF8000u);

    // Big-endian data through the reader's byte order.
    Decoded<std::uint64_t> swapped = decode(DwarfBytes(true).u32(0x01020304), DW_EH_PE_udata4,
                                            gnu_ehptr_reader<std::uint64_t>(big()));
    EXPECT_EQ(swapped.value, 0x01020304u);

    for (std::uint8_t format : {5, 6, 7, 8, 13, 14, 15}) {
        EXPECT_EQ(decode<std::uint64_t>(DwarfBytes().u64(0), format).error, KOCRASH_ENOTSUP)
            << int(format);
    }
    EXPECT_EQ(decode<std::uint64_t>(DwarfBytes().u16(1), DW_EH_PE_udata4).error, KOCRASH_EINVAL);
}

TEST(KOCrashAsyncDwarfPointerEncoding, ApplicationsAndTheirBases) {
    const DwarfBytes value = DwarfBytes().u8(0).u32(0xFFFFFFF0);
    {
        // Relative to the encoded value's own address.
        MappedBytes mapped(value);
        gnu_ehptr_reader<std::uint64_t> reader(little());
        std::uint64_t result;
        kocrash_vm_size_t size;
        ASSERT_EQ(reader.read(mapped.mobj(), mapped.address(), 1, DW_EH_PE_pcrel | DW_EH_PE_sdata4,
                              &result, &size),
                  KOCRASH_ESUCCESS);
        EXPECT_EQ(result, mapped.address() + 1 - 16);
        EXPECT_EQ(size, 4u);
    }
    for (std::uint8_t application :
         {DW_EH_PE_textrel, DW_EH_PE_datarel, DW_EH_PE_funcrel, DW_EH_PE_aligned}) {
        EXPECT_EQ(decode<std::uint64_t>(value, application | DW_EH_PE_sdata4).error,
                  KOCRASH_ENOTSUP)
            << int(application);
    }
    EXPECT_EQ(decode<std::uint64_t>(value, 0x60 | DW_EH_PE_sdata4).error, KOCRASH_ENOTSUP);
    EXPECT_EQ(decode<std::uint64_t>(value, 0x70 | DW_EH_PE_sdata4).error, KOCRASH_ENOTSUP);

    gnu_ehptr_reader<std::uint64_t> based(little());
    based.set_text_base(0x10000);
    based.set_data_base(0x20000);
    based.set_func_base(0x30000);
    EXPECT_EQ(decode(value, DW_EH_PE_textrel | DW_EH_PE_sdata4, based, 1).value, 0x10000u - 16);
    EXPECT_EQ(decode(value, DW_EH_PE_datarel | DW_EH_PE_sdata4, based, 1).value, 0x20000u - 16);
    EXPECT_EQ(decode(value, DW_EH_PE_funcrel | DW_EH_PE_sdata4, based, 1).value, 0x30000u - 16);

    Decoded<std::uint64_t> omitted = decode<std::uint64_t>(value, DW_EH_PE_omit);
    EXPECT_EQ(omitted.error, KOCRASH_ENOTFOUND);
    EXPECT_EQ(omitted.size, 0u);
}

TEST(KOCrashAsyncDwarfPointerEncoding, AlignedValuesSkipToTheNextWordOfTheImage) {
    // The value sits 3 bytes after an 8-aligned image address: 5 bytes of padding.
    const DwarfBytes bytes = DwarfBytes().raw({0, 0, 0, 0, 0, 0, 0, 0}).u64(0xABCDEF);
    MappedBytes mapped(bytes);
    gnu_ehptr_reader<std::uint64_t> reader(little());
    reader.set_frame_section_base(mapped.address(), 0x1000);
    std::uint64_t result;
    kocrash_vm_size_t size;
    ASSERT_EQ(reader.read(mapped.mobj(), mapped.address(), 3, DW_EH_PE_aligned, &result, &size),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(result, 0xABCDEFu);
    EXPECT_EQ(size, 13u);
    // Already aligned: no padding.
    ASSERT_EQ(reader.read(mapped.mobj(), mapped.address(), 8, DW_EH_PE_aligned, &result, &size),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(size, 8u);

    gnu_ehptr_reader<std::uint32_t> reader32(little());
    reader32.set_frame_section_base(static_cast<std::uint32_t>(mapped.address()), 0x1002);
    std::uint32_t result32;
    ASSERT_EQ(reader32.read(mapped.mobj(), mapped.address(), 0, DW_EH_PE_aligned, &result32, &size),
              KOCRASH_ESUCCESS);
    EXPECT_EQ(size, 6u);
}

TEST(KOCrashAsyncDwarfPointerEncoding, IndirectPointersReadTheTask) {
    static const std::uint64_t target = 0x5566778899AABBCC;
    const DwarfBytes bytes = DwarfBytes().u64(addressOf(&target));
    Decoded<std::uint64_t> decoded =
        decode<std::uint64_t>(bytes, DW_EH_PE_indirect | DW_EH_PE_absptr);
    ASSERT_EQ(decoded.error, KOCRASH_ESUCCESS);
    EXPECT_EQ(decoded.value, target);
    EXPECT_EQ(decoded.size, 8u);

    EXPECT_EQ(
        decode<std::uint64_t>(DwarfBytes().u64(kUnmapped), DW_EH_PE_indirect | DW_EH_PE_absptr)
            .error,
        KOCRASH_ENOTFOUND);
#if defined(__x86_64__)
    // The emulator cannot tell an unreadable page from an unmapped one.
    GuardedPages pages;
    EXPECT_EQ(decode<std::uint64_t>(DwarfBytes().u64(addressOf(pages.inaccessible())),
                                    DW_EH_PE_indirect | DW_EH_PE_absptr)
                  .error,
              KOCRASH_EACCESS);
#endif
}

class KOCrashAsyncDwarfOpStream : public testing::Test {
protected:
    MappedBytes mapped{DwarfBytes().u8(0xAA).u32(0x11223344).uleb(300).sleb(-2).u8(0x7F)};
};

TEST_F(KOCrashAsyncDwarfOpStream, ReadsStayInsideTheRange) {
    dwarf_opstream stream;
    ASSERT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), 1, 7), KOCRASH_ESUCCESS);
    std::uint32_t word;
    ASSERT_TRUE(stream.read_intU(&word));
    EXPECT_EQ(word, 0x11223344u);
    std::uint64_t unsignedValue;
    ASSERT_TRUE(stream.read_uleb128(&unsignedValue));
    EXPECT_EQ(unsignedValue, 300u);
    std::int64_t signedValue;
    ASSERT_TRUE(stream.read_sleb128(&signedValue));
    EXPECT_EQ(signedValue, -2);
    EXPECT_EQ(stream.get_position(), 7u);
    std::uint8_t byte;
    // The next byte exists in the object but not in the range.
    EXPECT_FALSE(stream.read_intU(&byte));
    EXPECT_EQ(stream.get_position(), 7u);
}

TEST_F(KOCrashAsyncDwarfOpStream, ShortReadsAndSkipsLeaveThePositionAlone) {
    dwarf_opstream stream;
    ASSERT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), 0, 4), KOCRASH_ESUCCESS);
    ASSERT_TRUE(stream.skip(1));
    std::uint32_t word;
    EXPECT_FALSE(stream.read_intU(&word));
    EXPECT_FALSE(stream.skip(4));
    EXPECT_FALSE(stream.skip(-2));
    EXPECT_EQ(stream.get_position(), 1u);
    EXPECT_TRUE(stream.skip(3));
    EXPECT_TRUE(stream.skip(-4));
    EXPECT_EQ(stream.get_position(), 0u);

    // A LEB128 value that runs past the range's end.
    dwarf_opstream cut;
    ASSERT_EQ(cut.init(mapped.mobj(), little(), mapped.address(), 5, 1), KOCRASH_ESUCCESS);
    std::uint64_t value;
    EXPECT_FALSE(cut.read_uleb128(&value));
    EXPECT_EQ(cut.get_position(), 0u);
}

TEST_F(KOCrashAsyncDwarfOpStream, RangesOutsideTheObjectAreRefused) {
    dwarf_opstream stream;
    EXPECT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), 0, -1), KOCRASH_EINVAL);
    EXPECT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), 0,
                          static_cast<kocrash_vm_off_t>(mapped.size() + 1)),
              KOCRASH_EINVAL);
    EXPECT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), -1, 2), KOCRASH_EINVAL);
    EXPECT_EQ(stream.init(mapped.mobj(), little(), ~0ull, 1, 1), KOCRASH_EINVAL);
    EXPECT_EQ(stream.init(mapped.mobj(), little(), mapped.address(),
                          static_cast<kocrash_vm_off_t>(mapped.size()), 0),
              KOCRASH_ESUCCESS);
}

TEST_F(KOCrashAsyncDwarfOpStream, EncodedPointersAdvanceByTheirSize) {
    dwarf_opstream stream;
    ASSERT_EQ(stream.init(mapped.mobj(), little(), mapped.address(), 1, 8), KOCRASH_ESUCCESS);
    gnu_ehptr_reader<std::uint64_t> reader(little());
    std::uint64_t pointer;
    ASSERT_TRUE(stream.read_gnueh_ptr(&reader, DW_EH_PE_pcrel | DW_EH_PE_udata4, &pointer));
    EXPECT_EQ(pointer, mapped.address() + 1 + 0x11223344);
    EXPECT_EQ(stream.get_position(), 4u);
    EXPECT_FALSE(stream.read_gnueh_ptr(&reader, DW_EH_PE_udata8, &pointer));
    EXPECT_EQ(stream.get_position(), 4u);
}

} // namespace
