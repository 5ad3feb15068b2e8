#include "log/KOCrashLogFieldEncoder.h"
#include "CapturedAsyncFile.h"
#include "field_types.pb-c.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Field numbers at every tag-length boundary, up to the largest the wire format allows.
const std::uint32_t fieldNumbers[] = {1,      15,     16,       2047,     2048,
                                      262143, 262144, 33554431, 33554432, 536870911};

// Sets the FieldTypes field of the encoder's type from the value the encoder gets.
void setField(KocrashTest__FieldTypes& message, kocrash_writer_field_type type, const void* value) {
    const ProtobufCFieldDescriptor& field = kocrash_test__field_types__descriptor.fields[type];
    char* storage = reinterpret_cast<char*>(&message) + field.offset;
    if (field.quantifier_offset != 0) {
        const protobuf_c_boolean present = 1;
        std::memcpy(reinterpret_cast<char*>(&message) + field.quantifier_offset, &present,
                    sizeof(present));
    }
    switch (type) {
    case KOCRASH_WRITER_TYPE_BOOL: {
        const protobuf_c_boolean flag = *static_cast<const bool*>(value);
        std::memcpy(storage, &flag, sizeof(flag));
        break;
    }
    case KOCRASH_WRITER_TYPE_STRING:
        std::memcpy(storage, &value, sizeof(value));
        break;
    case KOCRASH_WRITER_TYPE_BYTES: {
        const auto* bytes = static_cast<const kocrash_writer_bytes*>(value);
        const ProtobufCBinaryData data = {
            bytes->len, static_cast<std::uint8_t*>(const_cast<void*>(bytes->data))};
        std::memcpy(storage, &data, sizeof(data));
        break;
    }
    case KOCRASH_WRITER_TYPE_MESSAGE:
        std::memcpy(storage, value, sizeof(ProtobufCMessage*));
        break;
    default:
        // Enumerations included: protobuf-c keeps them as 32-bit ints.
        std::memcpy(storage, value,
                    field.type == PROTOBUF_C_TYPE_INT64 || field.type == PROTOBUF_C_TYPE_SINT64 ||
                            field.type == PROTOBUF_C_TYPE_SFIXED64 ||
                            field.type == PROTOBUF_C_TYPE_UINT64 ||
                            field.type == PROTOBUF_C_TYPE_FIXED64 ||
                            field.type == PROTOBUF_C_TYPE_DOUBLE
                        ? 8
                        : 4);
    }
}

// protobuf-c's packing of one field: the generated descriptor with that field renumbered.
Bytes protobufCField(std::uint32_t fieldNumber, kocrash_writer_field_type type,
                     const void* protobufCValue) {
    const ProtobufCMessageDescriptor& generated = kocrash_test__field_types__descriptor;
    std::vector<ProtobufCFieldDescriptor> fields(generated.fields,
                                                 generated.fields + generated.n_fields);
    fields[type].id = fieldNumber;
    ProtobufCMessageDescriptor renumbered = generated;
    renumbered.fields = fields.data();

    KocrashTest__FieldTypes message;
    kocrash_test__field_types__init(&message);
    message.base.descriptor = &renumbered;
    setField(message, type, protobufCValue);
    Bytes packed(protobuf_c_message_get_packed_size(&message.base));
    protobuf_c_message_pack(&message.base, packed.data());
    return packed;
}

// The encoder's packing of one field; also checks that measuring gives the written size.
Bytes writerField(std::uint32_t fieldNumber, kocrash_writer_field_type type, const void* value) {
    CapturedAsyncFile captured;
    const std::size_t written = kocrash_writer_pack(captured.file(), fieldNumber, type, value);
    const Bytes bytes = captured.bytes();
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(kocrash_writer_pack(nullptr, fieldNumber, type, value), bytes.size());
    return bytes;
}

template <typename Value>
void expectSameAsProtobufC(std::initializer_list<kocrash_writer_field_type> types,
                           std::initializer_list<Value> values) {
    for (const kocrash_writer_field_type type : types) {
        for (const Value& value : values) {
            for (const std::uint32_t fieldNumber : fieldNumbers) {
                EXPECT_EQ(writerField(fieldNumber, type, &value),
                          protobufCField(fieldNumber, type, &value))
                    << "type " << type << " value " << value << " field " << fieldNumber;
            }
        }
    }
}

TEST(KOCrashLogFieldEncoder, PacksNumbersLikeProtobufC) {
    constexpr auto int32Min = std::numeric_limits<std::int32_t>::min();
    constexpr auto int32Max = std::numeric_limits<std::int32_t>::max();
    constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    expectSameAsProtobufC<std::int32_t>(
        {KOCRASH_WRITER_TYPE_INT32, KOCRASH_WRITER_TYPE_SINT32, KOCRASH_WRITER_TYPE_SFIXED32},
        {0, 1, -1, 63, -64, 127, 128, 300, -300, int32Max, int32Min});
    // Negative enumeration values are packed shorter than protobuf-c does (see below).
    expectSameAsProtobufC<std::int32_t>({KOCRASH_WRITER_TYPE_ENUM}, {0, 1, 127, 128, int32Max});
    expectSameAsProtobufC<std::uint32_t>({KOCRASH_WRITER_TYPE_UINT32, KOCRASH_WRITER_TYPE_FIXED32},
                                         {0u, 1u, 127u, 128u, 16383u, 16384u, 0xFFFFFFFFu});
    expectSameAsProtobufC<std::int64_t>(
        {KOCRASH_WRITER_TYPE_INT64, KOCRASH_WRITER_TYPE_SINT64, KOCRASH_WRITER_TYPE_SFIXED64},
        {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{1} << 35,
         -(std::int64_t{1} << 35), int64Max, int64Min});
    expectSameAsProtobufC<std::uint64_t>({KOCRASH_WRITER_TYPE_UINT64, KOCRASH_WRITER_TYPE_FIXED64},
                                         {std::uint64_t{0}, std::uint64_t{127}, std::uint64_t{128},
                                          std::uint64_t{0x100000000}, std::uint64_t{1} << 63,
                                          std::numeric_limits<std::uint64_t>::max()});
    constexpr auto infinity = std::numeric_limits<double>::infinity();
    expectSameAsProtobufC<float>({KOCRASH_WRITER_TYPE_FLOAT},
                                 {0.0f, -0.0f, 1.5f, std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::denorm_min(),
                                  static_cast<float>(-infinity)});
    expectSameAsProtobufC<double>({KOCRASH_WRITER_TYPE_DOUBLE},
                                  {0.0, -0.0, -2.25e10, std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::denorm_min(), infinity,
                                   std::numeric_limits<double>::max()});
    expectSameAsProtobufC<bool>({KOCRASH_WRITER_TYPE_BOOL}, {false, true});
}

TEST(KOCrashLogFieldEncoder, PacksStringsBytesAndMessageHeadsLikeProtobufC) {
    for (const std::size_t length : {0, 1, 127, 128, 300, 16384}) {
        SCOPED_TRACE(length);
        std::string text(length, 'x');
        if (length > 4) {
            text.replace(1, 3, "\xE2\x82\xAC");
        }
        Bytes data(length);
        for (std::size_t i = 0; i < length; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7);
        }
        const kocrash_writer_bytes bytes = {static_cast<std::uint32_t>(length), data.data()};

        // A message field packs its head only; the caller writes the body after it.
        KocrashTest__Nested nested;
        kocrash_test__nested__init(&nested);
        if (length > 0) {
            nested.has_payload = 1;
            nested.payload = {data.size(), data.data()};
        }
        Bytes body(kocrash_test__nested__get_packed_size(&nested));
        kocrash_test__nested__pack(&nested, body.data());
        const auto bodySize = static_cast<std::uint32_t>(body.size());
        const ProtobufCMessage* nestedMessage = &nested.base;

        for (const std::uint32_t fieldNumber : fieldNumbers) {
            EXPECT_EQ(writerField(fieldNumber, KOCRASH_WRITER_TYPE_STRING, text.c_str()),
                      protobufCField(fieldNumber, KOCRASH_WRITER_TYPE_STRING, text.c_str()));
            EXPECT_EQ(writerField(fieldNumber, KOCRASH_WRITER_TYPE_BYTES, &bytes),
                      protobufCField(fieldNumber, KOCRASH_WRITER_TYPE_BYTES, &bytes));
            Bytes field = writerField(fieldNumber, KOCRASH_WRITER_TYPE_MESSAGE, &bodySize);
            field.insert(field.end(), body.begin(), body.end());
            EXPECT_EQ(field,
                      protobufCField(fieldNumber, KOCRASH_WRITER_TYPE_MESSAGE, &nestedMessage));
        }
    }
}

// Every other encoding is checked against protobuf-c's own packing above.
TEST(KOCrashLogFieldEncoder, NegativeEnumerationsAreShorterThanProtobufCsAndReadBackTheSame) {
    const kocrash_writer_bytes empty = {0, nullptr};
    EXPECT_EQ(writerField(2, KOCRASH_WRITER_TYPE_BYTES, &empty), (Bytes{0x12, 0x00}));
    const std::int32_t minusOne = -1;
    const Bytes negativeEnum = writerField(14, KOCRASH_WRITER_TYPE_ENUM, &minusOne);
    EXPECT_EQ(negativeEnum, (Bytes{0x70, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    // Shorter than protobuf-c's own ten-byte form, and read back as the same value.
    auto* decoded =
        kocrash_test__field_types__unpack(nullptr, negativeEnum.size(), negativeEnum.data());
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(decoded->has_f_enum);
    std::int32_t storedEnum;
    std::memcpy(&storedEnum, &decoded->f_enum, sizeof(storedEnum));
    EXPECT_EQ(storedEnum, -1);
    kocrash_test__field_types__free_unpacked(decoded, nullptr);
}

// writerField also checks, for every value, that measuring gives the written size.
TEST(KOCrashLogFieldEncoder, RandomValuesOfEveryTypePackLikeProtobufC) {
    std::mt19937_64 random(0x6b6f6372);
    for (int i = 0; i < 400; ++i) {
        const std::uint64_t bits = random() >> (random() % 64);
        const std::uint32_t field = fieldNumbers[random() % std::size(fieldNumbers)];
        const auto same = [&](kocrash_writer_field_type type, const auto& value) {
            EXPECT_EQ(writerField(field, type, &value), protobufCField(field, type, &value))
                << "type " << type << " bits " << bits << " field " << field;
        };
        for (auto type : {KOCRASH_WRITER_TYPE_INT32, KOCRASH_WRITER_TYPE_SINT32,
                          KOCRASH_WRITER_TYPE_SFIXED32}) {
            same(type, static_cast<std::int32_t>(bits));
        }
        for (auto type : {KOCRASH_WRITER_TYPE_INT64, KOCRASH_WRITER_TYPE_SINT64,
                          KOCRASH_WRITER_TYPE_SFIXED64}) {
            same(type, static_cast<std::int64_t>(bits));
        }
        same(KOCRASH_WRITER_TYPE_UINT32, static_cast<std::uint32_t>(bits));
        same(KOCRASH_WRITER_TYPE_FIXED32, static_cast<std::uint32_t>(bits));
        same(KOCRASH_WRITER_TYPE_UINT64, bits);
        same(KOCRASH_WRITER_TYPE_FIXED64, bits);
        same(KOCRASH_WRITER_TYPE_ENUM, static_cast<std::int32_t>(bits & 0x7FFFFFFF));
        same(KOCRASH_WRITER_TYPE_FLOAT, static_cast<float>(static_cast<std::int64_t>(bits)));
        same(KOCRASH_WRITER_TYPE_DOUBLE, static_cast<double>(bits) / 3);
        same(KOCRASH_WRITER_TYPE_BOOL, (bits & 1) != 0);
        const std::string text(bits % 600, static_cast<char>('a' + bits % 26));
        EXPECT_EQ(writerField(field, KOCRASH_WRITER_TYPE_STRING, text.c_str()),
                  protobufCField(field, KOCRASH_WRITER_TYPE_STRING, text.c_str()));
        const Bytes data(bits % 600, static_cast<std::uint8_t>(bits));
        same(KOCRASH_WRITER_TYPE_BYTES,
             kocrash_writer_bytes{static_cast<std::uint32_t>(data.size()), data.data()});
    }
}

TEST(KOCrashLogFieldEncoder, WritesTheFileHead) {
    CapturedAsyncFile captured;
    EXPECT_TRUE(kocrash_writer_write_header(captured.file()));
    EXPECT_EQ(captured.bytes(), (Bytes{'k', 'o', 'c', 'r', 'a', 's', 'h', 0x01}));
}

TEST(KOCrashLogFieldEncoderDeathTest, AnUnknownTypeStopsTheProcess) {
    const std::uint64_t value = 0;
    EXPECT_DEATH(
        kocrash_writer_pack(nullptr, 1, static_cast<kocrash_writer_field_type>(17), &value), "");
}

} // namespace
