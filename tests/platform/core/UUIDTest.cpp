#include "platform/core/UUID.h"

#include <gtest/gtest.h>

using platform::UUID;

TEST(UUID, TextFormRoundTripsInUpperCase) {
    auto parsed = UUID::fromString("0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(UUID::fromString(parsed->uuidString()), parsed);
}

TEST(UUID, RejectsMalformedText) {
    for (const char* text :
         {"", "0190a1b2c3d47e5f8a6b7c8d9e0f1a2b", "0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2",
          "0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2g", "0190a1b2+c3d4-7e5f-8a6b-7c8d9e0f1a2b",
          "0190a1b-2c3d4-7e5f-8a6b-7c8d9e0f1a2b"}) {
        EXPECT_FALSE(UUID::fromString(text)) << text;
    }
}

TEST(UUID, RandomIdsCarryVersionFourAndTheVariant) {
    auto id = UUID::random();
    EXPECT_EQ(id.bytes()[6] >> 4, 4);
    EXPECT_EQ(id.bytes()[8] >> 6, 2);
    EXPECT_NE(id, UUID::random());
}
