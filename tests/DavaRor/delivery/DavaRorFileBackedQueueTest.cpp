// The event store on a real folder: what lands on disk, the order that comes
// back after a restart, and which names a load uses up.
#include "DavaRor/delivery/DavaRorFileBackedQueue.h"

#include "CheckedEventFile.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "support/DavaRorLogCapture.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

class DavaRorFileBackedQueueTest : public ::testing::Test {
protected:
    fs::path folder() const { return temporary.path() / "app" / "davaror.queueFolder.uuid"; }

    std::vector<std::string> contentsOf(DavaRorFileBackedQueue& store, int count) {
        return store.loadFiles(count).contents;
    }

    TemporaryDirectory temporary;
    DavaRorLogCapture log;
};

TEST_F(DavaRorFileBackedQueueTest, CreatesTheFolderWithItsParentsAndStartsEmpty) {
    DavaRorFileBackedQueue store(folder(), {});
    EXPECT_TRUE(fs::is_directory(folder()));
    EXPECT_EQ(store.depth(), 0);
    EXPECT_TRUE(store.loadFiles(10).contents.empty());
}

TEST_F(DavaRorFileBackedQueueTest, EachEventIsOneFileNamedByAVersion7Id) {
    DavaRorFileBackedQueue store(folder(), {});
    store.add(eventFile(R"({"event":"a"})"));
    store.add(eventFile(R"({"event":"b"})"));
    ASSERT_EQ(store.depth(), 2);
    const auto names = entryNames(folder());
    ASSERT_EQ(names.size(), 2u);
    const std::regex version7(
        "[0-9A-F]{8}-[0-9A-F]{4}-7[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> contents;
    for (const auto& name : names) {
        EXPECT_TRUE(std::regex_match(name, version7)) << name;
        contents.insert(readFile(folder() / name));
    }
    EXPECT_EQ(contents, (std::set<std::string>{R"({"event":"a"})", R"({"event":"b"})"}));
}

TEST_F(DavaRorFileBackedQueueTest, ANewStoreOnTheSameFolderReturnsTheEventsInOrder) {
    std::vector<std::string> added;
    {
        DavaRorFileBackedQueue store(folder(), {});
        for (int i = 0; i < 200; ++i) {
            added.push_back(R"({"n":)" + std::to_string(i) + "}");
            store.add(eventFile(added.back()));
        }
    }
    DavaRorFileBackedQueue reopened(folder(), {});
    EXPECT_EQ(reopened.depth(), 200);
    EXPECT_EQ(contentsOf(reopened, 500), added);
}

TEST_F(DavaRorFileBackedQueueTest, OlderModificationTimeComesFirstAndEqualTimesGoByName) {
    fs::create_directories(folder());
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    // Written in an order that matches neither the times nor the names.
    for (const auto& [name, age] : std::vector<std::pair<std::string, int>>{
             {"C", 0}, {"B", 0}, {"Z", 2}, {"A", 0}, {"Y", 1}}) {
        writeFile(folder() / name, name);
        fs::last_write_time(folder() / name, base - std::chrono::seconds(age));
    }
    DavaRorFileBackedQueue store(folder(), {});
    EXPECT_EQ(contentsOf(store, 10), (std::vector<std::string>{"Z", "Y", "A", "B", "C"}));
}

TEST_F(DavaRorFileBackedQueueTest, HiddenAndStrayEntriesCountAsEvents) {
    fs::create_directories(folder());
    writeFile(folder() / ".hidden", "not an event");
    DavaRorFileBackedQueue store(folder(), {});
    EXPECT_EQ(store.depth(), 1);
    EXPECT_EQ(contentsOf(store, 1), std::vector<std::string>{"not an event"});
}

class LoadedStore : public DavaRorFileBackedQueueTest {
protected:
    void SetUp() override {
        fs::create_directories(folder());
        const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
        for (int i = 1; i <= 5; ++i) {
            names.push_back("event-" + std::to_string(i));
            writeFile(folder() / names.back(), "contents-" + std::to_string(i));
            fs::last_write_time(folder() / names.back(), base + std::chrono::seconds(i));
        }
        store.emplace(folder(), std::vector<fs::path>{});
    }

    std::vector<std::string> names;
    std::optional<DavaRorFileBackedQueue> store;
};

TEST_F(LoadedStore, MissingFileIsSkippedLoggedAndReportedAsUsedUp) {
    fs::remove(folder() / "event-2");
    const auto loaded = store->loadFiles(3);
    EXPECT_EQ(loaded.contents,
              (std::vector<std::string>{"contents-1", "contents-3", "contents-4"}));
    EXPECT_EQ(loaded.names, (std::vector<std::string>{"event-1", "event-2", "event-3", "event-4"}));
    EXPECT_TRUE(log.contains("[DavaRor] File file://" + (folder() / "event-2").string() +
                             " does not exist"));
    EXPECT_EQ(store->depth(), 5) << "loading removes no name";

    store->deleteFiles(loaded.names);
    EXPECT_EQ(store->depth(), 1);
    EXPECT_EQ(entryNames(folder()), std::set<std::string>{"event-5"});
    EXPECT_EQ(contentsOf(*store, 10), std::vector<std::string>{"contents-5"});
}

TEST_F(LoadedStore, UnreadableEntryIsDeletedOnLoadAndItsNameGoesWithTheBatch) {
    fs::remove(folder() / "event-1");
    fs::create_directory(folder() / "event-1");
    const auto loaded = store->loadFiles(2);
    EXPECT_EQ(loaded.contents, (std::vector<std::string>{"contents-2", "contents-3"}));
    EXPECT_EQ(loaded.names, (std::vector<std::string>{"event-1", "event-2", "event-3"}));
    EXPECT_FALSE(fs::exists(folder() / "event-1"));
    EXPECT_EQ(log.count("is corrupted"), 1u);

    // Until the batch completes, the name stays and now reports a missing file.
    store->loadFiles(1);
    EXPECT_EQ(log.count("does not exist"), 1u);
    store->deleteFiles(loaded.names);
    EXPECT_EQ(store->depth(), 2);
}

// The oldest event is evicted while a batch is in flight. Deleting "the first
// three names" afterwards would remove event-4, which was never sent.
TEST_F(LoadedStore, EvictionDuringAnUploadNeitherLosesNorResendsEvents) {
    const auto batch = store->loadFiles(3);
    store->deleteAt(0);
    store->add(eventFile("contents-6"));
    store->deleteFiles(batch.names);
    EXPECT_EQ(contentsOf(*store, 10),
              (std::vector<std::string>{"contents-4", "contents-5", "contents-6"}));
    EXPECT_TRUE(fs::exists(folder() / "event-4"));
    EXPECT_FALSE(fs::exists(folder() / "event-2"));
    EXPECT_FALSE(fs::exists(folder() / "event-3"));
}

TEST_F(LoadedStore, LoadDeleteAtAndClearTouchOnlyWhatTheyAreGiven) {
    EXPECT_TRUE(store->loadFiles(0).names.empty());
    EXPECT_EQ(store->loadFiles(2).names, (std::vector<std::string>{"event-1", "event-2"}));
    store->deleteAt(5);
    store->deleteAt(-1);
    EXPECT_EQ(store->depth(), 5) << "indexes past the end are ignored";
    store->deleteAt(2);
    EXPECT_EQ(store->depth(), 4);
    EXPECT_FALSE(fs::exists(folder() / "event-3"));
    EXPECT_EQ(contentsOf(*store, 10),
              (std::vector<std::string>{"contents-1", "contents-2", "contents-4", "contents-5"}));
    store->clear();
    EXPECT_EQ(store->depth(), 0);
    EXPECT_TRUE(entryNames(folder()).empty());
}

TEST_F(LoadedStore, PeekReadsTheOldestInOrderAndPopRemovesThemWithTheirFiles) {
    EXPECT_TRUE(store->peek(0).empty());
    EXPECT_EQ(store->peek(2), (std::vector<std::string>{"contents-1", "contents-2"}));
    EXPECT_EQ(store->peek(2), (std::vector<std::string>{"contents-1", "contents-2"}))
        << "peeking removes nothing";
    fs::remove(folder() / "event-2");
    EXPECT_EQ(store->peek(3), (std::vector<std::string>{"contents-1", "contents-3", "contents-4"}));
    EXPECT_EQ(store->depth(), 5);

    store->pop(-1);
    store->pop(0);
    EXPECT_EQ(store->depth(), 5);
    store->pop(3);
    EXPECT_EQ(store->depth(), 2);
    EXPECT_EQ(entryNames(folder()), (std::set<std::string>{"event-4", "event-5"}));
    EXPECT_EQ(store->peek(10), (std::vector<std::string>{"contents-4", "contents-5"}));
    store->pop(10);
    EXPECT_EQ(store->depth(), 0);
    EXPECT_TRUE(entryNames(folder()).empty());
}

// A load reads the list a batch at a time, so it goes on past more missing
// files than a batch holds; and a deletion finds names wherever the list has
// moved them since the load.
TEST_F(LoadedStore, ABatchIsFoundPastMissingFilesAndDeletedWhereverItsNamesMoved) {
    fs::remove(folder() / "event-1");
    fs::remove(folder() / "event-2");
    fs::remove(folder() / "event-3");
    const auto loaded = store->loadFiles(2);
    EXPECT_EQ(loaded.contents, (std::vector<std::string>{"contents-4", "contents-5"}));
    EXPECT_EQ(loaded.names,
              (std::vector<std::string>{"event-1", "event-2", "event-3", "event-4", "event-5"}));
    store->deleteAt(0);
    store->add(eventFile("contents-6"));
    store->deleteFiles({"event-1", "event-3", "event-2", "event-5"});
    EXPECT_EQ(store->depth(), 2);
    EXPECT_EQ(contentsOf(*store, 10), (std::vector<std::string>{"contents-4", "contents-6"}));
    EXPECT_EQ(entryNames(folder()).count("event-5"), 0u);
}

TEST_F(LoadedStore, FailedWriteIsLoggedAndNotListed) {
    fs::remove_all(folder());
    writeFile(folder(), "not a folder");
    store->add(eventFile("lost"));
    EXPECT_EQ(store->depth(), 5);
    EXPECT_TRUE(log.contains("[DavaRor] Could not write file Not a directory"));
}

// A file nested this deep overflows the stack of a recursive copy or dump.
TEST_F(DavaRorFileBackedQueueTest, FilesOverTheLimitsOfUntrustedJsonAreUnreadable) {
    fs::create_directories(folder());
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    const std::pair<std::string, std::string> files[] = {
        {"deep", std::string(100'000, '[') + std::string(100'000, ']')},
        {"large", R"({"pad":")" + std::string(maxUntrustedJsonBytes, ' ') + R"("})"},
        {"event", R"({"event":"kept"})"},
    };
    for (size_t i = 0; i < std::size(files); ++i) {
        writeFile(folder() / files[i].first, files[i].second);
        fs::last_write_time(folder() / files[i].first, base + std::chrono::seconds(i));
    }
    DavaRorFileBackedQueue store(folder(), {});
    EXPECT_EQ(store.peek(3), std::vector<std::string>{R"({"event":"kept"})"});
    EXPECT_EQ(entryNames(folder()).size(), 3u) << "peeking deletes nothing";

    const auto loaded = store.loadFiles(3);
    EXPECT_EQ(loaded.contents, std::vector<std::string>{R"({"event":"kept"})"});
    EXPECT_EQ(loaded.names, (std::vector<std::string>{"deep", "large", "event"}));
    EXPECT_EQ(entryNames(folder()), std::set<std::string>{"event"});
    EXPECT_TRUE(log.contains("[DavaRor] File file://" + (folder() / "deep").string() +
                             " is corrupted JSON text nests deeper than 128 levels"));
    EXPECT_TRUE(log.contains("[DavaRor] File file://" + (folder() / "large").string() +
                             " is corrupted File too large"));
}

TEST_F(DavaRorFileBackedQueueTest, FolderThatCannotBeCreatedLeavesTheStoreEmpty) {
    fs::create_directories(temporary.path() / "app");
    writeFile(temporary.path() / "app" / "davaror.queueFolder.uuid", "a file, not a folder");
    DavaRorFileBackedQueue store(folder(), {});
    EXPECT_EQ(store.depth(), 0);
    EXPECT_EQ(log.count("[DavaRor] Error trying to create caching folder "), 1u);
    EXPECT_EQ(log.count("[DavaRor] Failed to load files for queue "), 1u);
}

} // namespace
