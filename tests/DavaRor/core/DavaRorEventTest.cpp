#include "DavaRor/Models/DavaRorEvent.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {
DavaRorDate dateFromMilliseconds(std::int64_t ms) {
    return DavaRorDate(std::chrono::milliseconds(ms));
}
} // namespace

TEST(DavaRorEvent, JSONRoundTripKeepsEveryField) {
    auto uuid = *platform::UUID::fromString("0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b");
    DavaRorEvent event("purchase", "user-1", {{"amount", 12.5}, {"items", {1, 2}}},
                       dateFromMilliseconds(1'700'000'000'123), uuid, "key-1");
    json encoded = event.toJSON();
    EXPECT_EQ(encoded["timestamp"], "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(encoded["uuid"], "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(encoded["api_key"], "key-1");

    auto decoded = DavaRorEvent::fromJSON(json::parse(encoded.dump()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->event, "purchase");
    EXPECT_EQ(decoded->distinctId, "user-1");
    EXPECT_EQ(decoded->properties, event.properties);
    EXPECT_EQ(decoded->timestamp, event.timestamp);
    EXPECT_EQ(decoded->uuid, uuid);
    EXPECT_EQ(decoded->apiKey, "key-1");
}

TEST(DavaRorEvent, ApiKeyIsWrittenOnlyWhenSet) {
    DavaRorEvent event("e", "d", json::object(), dateFromMilliseconds(0), platform::UUID());
    EXPECT_FALSE(event.toJSON().contains("api_key"));
    EXPECT_EQ(event.toJSON()["timestamp"], "1970-01-01T00:00:00.000Z");
}

TEST(DavaRorEvent, FromJSONRefusesEventsWithoutNameOrDistinctId) {
    EXPECT_FALSE(DavaRorEvent::fromJSON(json::object()));
    EXPECT_FALSE(DavaRorEvent::fromJSON({{"distinct_id", "d"}}));
    EXPECT_FALSE(DavaRorEvent::fromJSON({{"event", 5}, {"distinct_id", "d"}}));
    EXPECT_FALSE(DavaRorEvent::fromJSON({{"event", "e"}}));
    EXPECT_FALSE(DavaRorEvent::fromJSON({{"event", "e"}, {"distinct_id", 42}}));
    EXPECT_FALSE(DavaRorEvent::fromJSON(json::array({1, 2})));
}

TEST(DavaRorEvent, FromJSONFallsBackWhereFieldsAreMissing) {
    auto before = std::chrono::system_clock::now();
    auto event = DavaRorEvent::fromJSON({{"event", "e"},
                                         {"properties", {{"distinct_id", "from-properties"}}},
                                         {"timestamp", "yesterday"}});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->distinctId, "from-properties");
    EXPECT_GE(event->timestamp, before);
    EXPECT_EQ(event->uuid.bytes()[6] >> 4, 7) << "a fresh version-7 id";
    EXPECT_FALSE(event->apiKey);

    auto impossibleDay = DavaRorEvent::fromJSON(
        {{"event", "e"}, {"distinct_id", "d"}, {"timestamp", "2024-02-31T00:00:00.000Z"}});
    ASSERT_TRUE(impossibleDay);
    EXPECT_GE(impossibleDay->timestamp, before);

    auto bare = DavaRorEvent::fromJSON({{"event", "e"}, {"distinct_id", "d"}});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->properties, json::object());
}

TEST(DavaRorEvent, FromJSONTakesSetAndTheLegacyMessageId) {
    auto event = DavaRorEvent::fromJSON({{"event", "e"},
                                         {"distinct_id", "d"},
                                         {"properties", {{"a", 1}}},
                                         {"$set", {{"name", "Ann"}}},
                                         {"uuid", "not-a-uuid"},
                                         {"message_id", "0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b"},
                                         {"timestamp", "2024-02-29T23:59:59Z"}});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->properties, (json{{"a", 1}, {"$set", {{"name", "Ann"}}}}));
    EXPECT_EQ(event->uuid.uuidString(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");
    EXPECT_EQ(toISO8601String(event->timestamp), "2024-02-29T23:59:59.000Z");
}
