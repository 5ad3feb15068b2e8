#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/DavaRorStorageManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using Key = DavaRorStorage::StorageKey;

namespace {

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/davaror-storage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    std::vector<std::string> filesIn(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root;
};

} // namespace

TEST_F(StorageTest, ValuesSurviveANewStorageOnTheSameFolder) {
    {
        DavaRorStorage storage("phc_key", root);
        storage.setJson(Key::flags, {{"beta", true}});
        storage.setJson(Key::requestId, "req-1");
        storage.setJson(Key::evaluatedAt, 1'700'000'000);
    }
    DavaRorStorage reopened("phc_key", root);
    EXPECT_EQ(reopened.appFolderUrl(), root / "phc_key");
    EXPECT_EQ(reopened.getJson(Key::flags), (nlohmann::json{{"beta", true}}));
    EXPECT_EQ(reopened.getString(Key::requestId), "req-1");
    EXPECT_EQ(reopened.getInt(Key::evaluatedAt), 1'700'000'000);
    // Wrong types read as nothing rather than as a converted value.
    EXPECT_FALSE(reopened.getInt(Key::requestId));
    EXPECT_FALSE(reopened.getString(Key::evaluatedAt));
    EXPECT_EQ(
        filesIn(root / "phc_key"),
        (std::vector<std::string>{"davaror.evaluatedAt", "davaror.flags", "davaror.requestId"}))
        << "every key is one file named by its raw value, and no temporary file is left";
}

TEST_F(StorageTest, MissingCorruptAndRemovedFilesReadAsNothing) {
    DavaRorStorage storage("k", root);
    EXPECT_FALSE(storage.getJson(Key::groups));
    std::ofstream(storage.url(Key::groups)) << "{\"truncated\": ";
    EXPECT_FALSE(storage.getJson(Key::groups));
    storage.setJson(Key::groups, {{"company", "acme"}});
    storage.remove(Key::groups);
    EXPECT_FALSE(fs::exists(storage.url(Key::groups)));
    EXPECT_FALSE(storage.getJson(Key::groups));
}

TEST_F(StorageTest, OversizedDeepOrIllFormedFilesReadAsNothing) {
    DavaRorStorage storage("k", root);
    const std::string deep = std::string(200, '[') + std::string(200, ']');
    const std::string huge = "\"" + std::string(9 * 1024 * 1024, 'a') + "\"";
    for (const std::string& contents : {deep, huge, std::string("\"\xff\xfe\"")}) {
        std::ofstream(storage.url(Key::flags), std::ios::binary | std::ios::trunc) << contents;
        EXPECT_FALSE(storage.getJson(Key::flags)) << contents.substr(0, 16);
    }
    storage.setJson(Key::evaluatedAt, nlohmann::json(std::uint64_t{1} << 63));
    EXPECT_FALSE(storage.getInt(Key::evaluatedAt)) << "no wrap into a negative time";
}

TEST_F(StorageTest, ApiKeysCannotEscapeTheRootFolder) {
    for (const char* key : {"../escape", "..", "a/b", ".hidden", ""}) {
        DavaRorStorage storage(key, root);
        auto folder = storage.appFolderUrl();
        EXPECT_EQ(folder.parent_path(), root) << key;
        EXPECT_NE(folder.filename().string().front(), '.') << key;
    }
}

TEST_F(StorageTest, IdentityIsMadeOnceAndKeptAcrossInstances) {
    auto storage = std::make_shared<DavaRorStorage>("k", root);
    std::string anonymous;
    {
        DavaRorStorageManager manager(storage);
        anonymous = manager.getAnonymousId();
        EXPECT_EQ(manager.getDistinctId(), anonymous);
    }
    DavaRorStorageManager again(std::make_shared<DavaRorStorage>("k", root));
    EXPECT_EQ(again.getAnonymousId(), anonymous);
    again.setDistinctId("user-42");
    EXPECT_EQ(DavaRorStorageManager(storage).getDistinctId(), "user-42");
}

// Once read, the ids live in memory: what appears on the disk later (another process, a
// restored backup) is not read at each capture, and the manager's own calls still change the
// distinct id. The anonymous id stays the one stored.
TEST_F(StorageTest, TheDistinctIdIsReadFromDiskOnceEvenWhenNoneIsStored) {
    auto storage = std::make_shared<DavaRorStorage>("k", root);
    DavaRorStorageManager manager(storage);
    const std::string anonymous = manager.getDistinctId();

    storage->setJson(Key::distinctId, "written-behind-its-back");
    EXPECT_EQ(manager.getDistinctId(), anonymous);
    fs::remove_all(storage->appFolderUrl());
    EXPECT_EQ(manager.getDistinctId(), anonymous);
    EXPECT_EQ(manager.getAnonymousId(), anonymous);

    manager.setDistinctId("user-7");
    EXPECT_EQ(manager.getDistinctId(), "user-7");
    EXPECT_EQ(storage->getString(Key::distinctId), "user-7");
}
