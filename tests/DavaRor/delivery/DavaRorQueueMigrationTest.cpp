// Taking over the queues of older releases: a legacy folder of event files and
// a legacy single file holding a JSON array of events.
#include "DavaRor/delivery/DavaRorQueueMigration.h"
#include "DavaRor/delivery/DavaRorFileBackedQueue.h"

#include "CheckedEventFile.h"
#include "DavaRor/Utils/DavaRorDates.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "support/DavaRorLogCapture.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"
#include "support/WithoutFileOverride.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

using davaror::apiDateFormatter;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace testsupport;

class DavaRorQueueMigrationTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(queue()); }

    fs::path queue() const { return temporary.path() / "davaror.queueFolder.uuid"; }
    fs::path oldFolder() const { return temporary.path() / "davaror.queueFolder"; }
    fs::path oldPlist() const { return temporary.path() / "davaror.queue.plist"; }

    void writeOldFolder(const std::vector<std::string>& namesOldestFirst) {
        fs::create_directories(oldFolder());
        const auto base = fs::file_time_type::clock::now() - std::chrono::hours(48);
        for (size_t i = 0; i < namesOldestFirst.size(); ++i) {
            writeFile(oldFolder() / namesOldestFirst[i], "old-" + namesOldestFirst[i]);
            // Reverse name order, so only the times can give the right order.
            fs::last_write_time(oldFolder() / namesOldestFirst[i], base + std::chrono::minutes(i));
        }
    }

    TemporaryDirectory temporary;
    DavaRorLogCapture log;
};

TEST_F(DavaRorQueueMigrationTest, LegacyFolderIsMovedKeepingItsOrderAndThenRemoved) {
    writeOldFolder({"3", "2", "1"});
    DavaRorFileBackedQueue store(queue(), {oldFolder()});
    EXPECT_FALSE(fs::exists(oldFolder()));
    EXPECT_EQ(store.loadFiles(10).contents, (std::vector<std::string>{"old-3", "old-2", "old-1"}));
}

TEST_F(DavaRorQueueMigrationTest, AFileThatCannotBeMovedIsLoggedAndTheRestStillMove) {
    writeOldFolder({"a", "b"});
    fs::create_directories(queue() / "a" / "occupied");
    migrateOldQueueFolder(queue(), oldFolder());
    EXPECT_EQ(log.count("[DavaRor] Failed to migrate file a: "), 1u);
    EXPECT_EQ(readFile(queue() / "b"), "old-b");
    EXPECT_FALSE(fs::exists(oldFolder()));
}

TEST_F(DavaRorQueueMigrationTest, LegacyArrayBecomesOneFilePerEventWithoutLosingAny) {
    const json first = {
        {"event", "first"}, {"distinct_id", "u"}, {"timestamp", "2024-01-02T03:04:05.678Z"}};
    const json sameMillisecond = {
        {"event", "second"}, {"distinct_id", "u"}, {"timestamp", "2024-01-02T03:04:05.678Z"}};
    const json wholeSeconds = {{"event", "third"}, {"timestamp", "2024-01-02T03:04:05Z"}};
    const json untimed1 = {{"event", "untimed-1"}};
    const json untimed2 = {{"event", "untimed-2"}};
    const json unreadableTime = {{"event", "odd"}, {"timestamp", "yesterday"}};
    writeFile(oldPlist(), json::array({first, sameMillisecond, 42, "text", wholeSeconds, untimed1,
                                       untimed2, unreadableTime})
                              .dump());
    const auto before = std::chrono::system_clock::now();
    migrateOldQueue(queue(), oldPlist());
    const auto after = std::chrono::system_clock::now();

    EXPECT_FALSE(fs::exists(oldPlist()));
    std::map<std::string, json> byName;
    for (const auto& name : entryNames(queue())) {
        byName[name] = json::parse(readFile(queue() / name));
    }
    ASSERT_EQ(byName.size(), 6u) << "every object element, and nothing else";
    EXPECT_EQ(byName.at("1704164645.678"), first);
    EXPECT_EQ(byName.at("1704164645.0"), wholeSeconds);
    // Dated at the event, so that coarse file times never put these behind
    // events queued right after the migration.
    EXPECT_EQ(
        fs::last_write_time(queue() / "1704164645.678"),
        fs::file_time_type::clock::from_sys(*apiDateFormatter.date("2024-01-02T03:04:05.678Z")));
    auto second = std::find_if(byName.begin(), byName.end(), [&](const auto& entry) {
        return entry.first != "1704164645.678" && entry.first.starts_with("1704164645.678");
    });
    ASSERT_NE(second, byName.end());
    EXPECT_EQ(second->second, sameMillisecond);
    EXPECT_LT(second->first, "1704164645.679") << "the fresh name stays in time order";

    const double earliest = std::chrono::duration<double>(before.time_since_epoch()).count() - 1;
    const double latest = std::chrono::duration<double>(after.time_since_epoch()).count() + 1;
    int storedNow = 0;
    for (const auto& [name, event] : byName) {
        if (event["event"].get<std::string>().starts_with("untimed") || event["event"] == "odd") {
            const double seconds = std::stod(name);
            EXPECT_GE(seconds, earliest) << name;
            EXPECT_LE(seconds, latest) << name;
            ++storedNow;
        }
    }
    EXPECT_EQ(storedNow, 3);
}

TEST_F(DavaRorQueueMigrationTest, LegacyFileThatIsNoArrayOfEventsIsLoggedAndDeleted) {
    const std::pair<std::string, const char*> cases[] = {
        {R"({"event":"not in an array"})",
         "[DavaRor] Failed to migrate queue: invalid data format"},
        {std::string("\x00\x01 not json", 11), "[DavaRor] Failed to migrate queue "},
    };
    for (const auto& [contents, logged] : cases) {
        writeFile(oldPlist(), contents);
        migrateOldQueue(queue(), oldPlist());
        EXPECT_EQ(log.count(logged), 1u) << logged;
        EXPECT_FALSE(fs::exists(oldPlist()));
        EXPECT_TRUE(entryNames(queue()).empty());
    }
}

// Its events are not damaged, only not readable now: the file stays for a
// launch that may read it.
TEST_F(DavaRorQueueMigrationTest, LegacyFileThatMayNotBeReadIsKept) {
    const std::string contents = R"([{"event":"kept","distinct_id":"user"}])";
    writeFile(oldPlist(), contents);
    fs::permissions(oldPlist(), fs::perms::none);
    {
        const WithoutFileOverride modesBindRoot;
        ASSERT_TRUE(modesBindRoot.dropped());
        migrateOldQueue(queue(), oldPlist());
    }
    EXPECT_EQ(log.count("[DavaRor] Failed to migrate queue Permission denied"), 1u);
    EXPECT_EQ(readFile(oldPlist()), contents);
    EXPECT_TRUE(entryNames(queue()).empty());
}

TEST_F(DavaRorQueueMigrationTest, LegacyFileOverTheLimitsOfUntrustedJsonIsLoggedAndDeleted) {
    const std::pair<std::string, const char*> cases[] = {
        {"[" + std::string(100'000, '[') + std::string(100'000, ']') + "]",
         "[DavaRor] Failed to migrate queue JSON text nests deeper than 129 levels"},
        {R"([{"pad":")" + std::string(32 * 1024 * 1024, ' ') + R"("}])",
         "[DavaRor] Failed to migrate queue File too large"},
    };
    for (const auto& [contents, logged] : cases) {
        writeFile(oldPlist(), contents);
        DavaRorFileBackedQueue store(queue(), {oldPlist()});
        EXPECT_EQ(log.count(logged), 1u) << logged;
        EXPECT_FALSE(fs::exists(oldPlist()));
        EXPECT_EQ(store.depth(), 0);
    }
}

// A legacy file holds a whole queue, so it may be larger than one event file
// can be; each event must keep the limits of an event file on its own.
TEST_F(DavaRorQueueMigrationTest, ALargeLegacyFileKeepsEveryEventAStoreCanReadBack) {
    json deepest = json::array();
    for (size_t level = 2; level < maxUntrustedJsonDepth; ++level) {
        deepest = json::array({deepest});
    }
    const std::string pad(3 * 1024 * 1024, ' ');
    const json events = json::array({
        {{"event", "large 1"}, {"pad", pad}},
        {{"event", "deepest"}, {"nested", deepest}},
        {{"event", "too large"}, {"pad", pad + pad + pad}},
        {{"event", "large 2"}, {"pad", pad}},
    });
    writeFile(oldPlist(), events.dump());
    ASSERT_GT(fs::file_size(oldPlist()), maxUntrustedJsonBytes);

    DavaRorFileBackedQueue store(queue(), {oldPlist()});
    EXPECT_FALSE(fs::exists(oldPlist()));
    std::vector<std::string> migrated;
    for (const auto& contents : store.loadFiles(10).contents) {
        migrated.push_back(json::parse(contents)["event"]);
    }
    std::sort(migrated.begin(), migrated.end());
    EXPECT_EQ(migrated, (std::vector<std::string>{"deepest", "large 1", "large 2"}));
    EXPECT_EQ(log.count("[DavaRor] Failed to migrate an event over the limits of stored events: "
                        "JSON text of "),
              1u);
    EXPECT_FALSE(log.contains("is corrupted"));
}

TEST_F(DavaRorQueueMigrationTest, AbsentLegacyLocationsAreLeftAlone) {
    DavaRorFileBackedQueue store(queue(), {oldFolder(), oldPlist()});
    EXPECT_EQ(store.depth(), 0);
    EXPECT_TRUE(log.lines().empty());
}

// Legacy folder, legacy array and new events, then a restart: the second store
// must see exactly what the first one had, in the same order.
TEST_F(DavaRorQueueMigrationTest, OrderSurvivesMigrationAndRestart) {
    writeOldFolder({"f1", "f2"});
    json legacy = json::array();
    for (int i = 0; i < 4; ++i) {
        legacy.push_back({{"event", "legacy-" + std::to_string(i)},
                          {"distinct_id", "u"},
                          {"timestamp", apiDateFormatter.string(std::chrono::system_clock::now() -
                                                                std::chrono::hours(1) +
                                                                std::chrono::milliseconds(i))}});
    }
    legacy.push_back({{"event", "legacy-untimed"}});
    writeFile(oldPlist(), legacy.dump());

    std::vector<std::string> firstOrder;
    {
        DavaRorFileBackedQueue store(queue(), {oldFolder(), oldPlist()});
        for (int i = 0; i < 5; ++i) {
            store.add(eventFile("new-" + std::to_string(i)));
        }
        ASSERT_EQ(store.depth(), 12);
        firstOrder = store.loadFiles(100).contents;
    }
    EXPECT_EQ(firstOrder[0], "old-f1");
    EXPECT_EQ(firstOrder[1], "old-f2");
    EXPECT_EQ(json::parse(firstOrder[2])["event"], "legacy-0");
    EXPECT_EQ(firstOrder.back(), "new-4");

    DavaRorFileBackedQueue reopened(queue(), {oldFolder(), oldPlist()});
    EXPECT_EQ(reopened.loadFiles(100).contents, firstOrder);
}

} // namespace
