// What reaches the service: every captured event accepted once, whatever the
// server answers and whatever was planted in the queue's folder.
#include "QueueTestFixture.h"

#include "DavaRor/delivery/DavaRorRetryRule.h"
#include "support/Files.h"
#include "support/WithoutFileOverride.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <numeric>
#include <random>
#include <string_view>

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
namespace fs = std::filesystem;

namespace {

class DeliveryTest : public QueueTest {
protected:
    // Flushes, moving the clock past every pause, until the queue is empty.
    void deliverEverything(DavaRorQueue& queue) {
        const auto settledBatches = [&] {
            return log.count("Pausing queue consumption") + log.count("Completed!");
        };
        while (queue.depth() > 0) {
            const auto settled = settledBatches();
            ASSERT_TRUE(flushOnceLetGo(queue));
            ASSERT_TRUE(platform::pumpMainQueueUntil([&] { return settledBatches() > settled; }));
            advanceClock(10min);
        }
    }

    // The event indexes of each request from the `first`-th on.
    std::vector<std::vector<int>> batchesFrom(std::size_t first) {
        std::vector<std::vector<int>> batches;
        const auto requests = server.requests();
        for (std::size_t i = first; i < requests.size(); ++i) {
            batches.emplace_back();
            const auto body = nlohmann::json::parse(gunzip(requests[i].body));
            for (const auto& sent : body["batch"]) {
                batches.back().push_back(sent["properties"]["index"].get<int>());
            }
        }
        return batches;
    }

    fs::path queueFolder() const { return storage.url(DavaRorStorage::StorageKey::queue); }
};

std::string utcText(DavaRorDate date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

constexpr std::string_view base64Letters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Text of letters drawn at random from `letters`: the fewer letters, the
// better it compresses.
std::string randomText(std::size_t length, std::string_view letters) {
    static std::mt19937 generator(42);
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    std::string text(length, ' ');
    for (auto& letter : text) {
        letter = letters[pick(generator)];
    }
    return text;
}

std::vector<int> flattened(const std::vector<std::vector<int>>& batches) {
    std::vector<int> all;
    for (const auto& batch : batches) {
        all.insert(all.end(), batch.begin(), batch.end());
    }
    return all;
}

} // namespace

// The service overloaded for a while: each "not now" keeps the batch, the
// queue still holds no more than maxQueueSize, and once the service recovers
// every event still waiting is accepted exactly once.
TEST_F(DeliveryTest, AnOverloadedServiceLosesOnlyWhatTheQueueSizeBoundsAndNothingTwice) {
    const int refusals[] = {503, 500, 502, 504, 429, 408};
    for (int status : refusals) {
        server.enqueue(ScriptedReply::respond(status));
    }
    config->flushAt = 1000;
    config->maxQueueSize = 50;
    auto queue = makeQueue();
    for (int i = 0; i < 60; ++i) {
        queue->add(event(i));
    }
    deliverEverything(*queue);
    ASSERT_EQ(server.requests().size(), std::size(refusals) + 1);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 10);
    EXPECT_EQ(flattened(batchesFrom(std::size(refusals))), expected);
    EXPECT_EQ(filesOnDisk(), 0u);
}

// An idle application after an outage: once the service is back, one timer
// tick sends the whole backlog, batch after batch, each event once.
TEST_F(DeliveryTest, ABacklogDrainsFromOneFlushOnceTheServiceRecovers) {
    server.setDefaultReply(ScriptedReply::respond(503));
    auto queue = makeQueue();
    for (int i = 0; i < 1000; ++i) {
        queue->add(event(i));
    }
    ASSERT_TRUE(flushUntilLogged(*queue, "Pausing queue consumption"));
    const auto refused = server.requests().size();
    server.setDefaultReply(ScriptedReply::respond(200));
    advanceClock(10min);
    ASSERT_TRUE(flushOnceLetGo(*queue));
    ASSERT_TRUE(
        platform::pumpMainQueueUntil([&] { return queue->depth() < config->flushAt; }, 60s));
    std::vector<int> expected(1000 - static_cast<std::size_t>(queue->depth()));
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(flattened(batchesFrom(refused)), expected);
    EXPECT_EQ(server.requests().size(), refused + expected.size() / 50);
}

TEST_F(DeliveryTest, RetryAfterLengthensThePauseUpToTenMinutes) {
    const std::pair<const char*, const char*> cases[] = {
        {"60", "60.0"}, {"3600", "600.0"}, {"99999999999999999999999", "600.0"},
        {"1", "5.0"},   {"soon", "5.0"},   {"Fri, 31 Dec 9999 23:59:59 GMT", "600.0"},
    };
    for (const auto& [retryAfter, pause] : cases) {
        SCOPED_TRACE(retryAfter);
        ScriptedReply busy = ScriptedReply::respond(429);
        busy.headers = {{"Retry-After", retryAfter}};
        server.enqueue(busy);
        const auto requestsBefore = server.requests().size();
        auto queue = makeQueue();
        queue->add(event(1));
        ASSERT_TRUE(flushUntilLogged(*queue, "Pausing queue consumption",
                                     log.count("Pausing queue consumption") + 1));
        EXPECT_TRUE(log.contains(std::string("[DavaRor] Pausing queue consumption for ") + pause +
                                 " seconds due to 1.0 API failure(s)."));
        const auto seconds = std::chrono::seconds(std::stoi(pause));
        advanceClock(seconds - 1s);
        ASSERT_TRUE(flushOnceLetGo(*queue));
        EXPECT_EQ(server.requests().size(), requestsBefore + 1);
        advanceClock(1s);
        ASSERT_TRUE(flushUntilLogged(*queue, "Completed!", log.count("Completed!") + 1));
        EXPECT_EQ(queue->depth(), 0);
    }
}

TEST(RetryAfter, SecondsAndEveryHttpDateFormAreRead) {
    const auto now = *platform::http::parseHttpDate("Sun, 06 Nov 1994 08:48:07 GMT");
    const std::pair<const char*, std::optional<std::chrono::seconds>> cases[] = {
        {"120", 120s},
        {"Sun, 06 Nov 1994 08:49:37 GMT", 90s},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 90s},
        {"Sun Nov  6 08:49:37 1994", 90s},
        {"Sun, 06 Nov 1994 08:00:00 GMT", 0s},
        {"Sun, 06 Nov 1994 08:58:08 GMT", 600s},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 600s},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"in a while", std::nullopt},
    };
    for (const auto& [value, delay] : cases) {
        EXPECT_EQ(retryAfterDelay(value, now), delay) << value;
    }
}

// The system clock set back an hour during a pause: the pause still ends
// after its five seconds, and its log line names an end the clock will reach.
TEST_F(DeliveryTest, APauseOutlastsNoStepOfTheSystemClock) {
    server.enqueue(ScriptedReply::respond(503));
    auto queue = makeQueue();
    queue->add(event(1));
    ASSERT_TRUE(flushUntilLogged(*queue, "Pausing queue consumption"));
    stepWallClock(-1h);
    advanceClock(2s);
    ASSERT_TRUE(flushOnceLetGo(*queue));
    EXPECT_TRUE(log.contains("The queue is paused until `" + utcText(clocks().wall() + 3s) + "`"));
    advanceClock(3s);
    ASSERT_TRUE(flushUntilLogged(*queue, "Completed!"));
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(queue->depth(), 0);
}

// Events near the size limit: each batch stays within the byte budget, an
// event over it goes alone, and every event arrives once, in order.
TEST_F(DeliveryTest, LargeEventsGoInSeveralRequestsWithinTheByteBudget) {
    config->flushAt = 1000;
    auto queue = makeQueue();
    const nlohmann::json large = {{"pad", std::string(DavaRorQueue::maxBatchBytes + 1024, 'x')}};
    const nlohmann::json half = {{"pad", std::string(DavaRorQueue::maxBatchBytes / 2, 'y')}};
    queue->add(event(0));
    queue->add(event(1, large));
    queue->add(event(2, half));
    queue->add(event(3, half));
    queue->add(event(4));
    queue->add(event(5, large));
    deliverEverything(*queue);
    EXPECT_EQ(batchesFrom(0), (std::vector<std::vector<int>>{{0}, {1}, {2}, {3, 4}, {5}}));
    EXPECT_EQ(log.count("Pausing queue consumption"), 0u);
}

// A service with a size limit and one event over it in a batch of 50: the
// batch is halved until that event goes alone and is dropped; the other 49
// are delivered once each.
TEST_F(DeliveryTest, AnEventTooLargeForTheServiceCostsOnlyItself) {
    constexpr std::size_t serviceLimit = 1'000'000;
    server.setMaxBodyBytes(serviceLimit);
    config->flushAt = 1000;
    auto queue = makeQueue();
    for (int i = 0; i < 50; ++i) {
        queue->add(i == 17 ? event(i, {{"photo", randomText(2'000'000, base64Letters)}})
                           : event(i));
    }
    deliverEverything(*queue);
    std::vector<int> delivered;
    for (const auto& request : server.requests()) {
        if (request.body.size() <= serviceLimit) {
            const auto body = nlohmann::json::parse(gunzip(request.body));
            for (const auto& sent : body["batch"]) {
                delivered.push_back(sent["properties"]["index"].get<int>());
            }
        }
    }
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    expected.erase(expected.begin() + 17);
    EXPECT_EQ(delivered, expected);
    EXPECT_EQ(log.count("[DavaRor] Dropping event 'event 17': the service refused it as too "
                        "large (413)"),
              1u);
    EXPECT_EQ(filesOnDisk(), 0u);
}

// A link too slow for a batch within the request's time: the batch is halved
// until it fits, the abandoned upload never arrives whole, and each event is
// received once, in order.
TEST_F(DeliveryTest, ABatchTooSlowForTheLinkIsSplitAndEachEventArrivesOnce) {
    server.setReadRate(40'000);
    config->flushAt = 1000;
    // 100 kB of two letters is 16 kB of gzip: 480 kB for the whole backlog,
    // while 160 kB goes up within the 4 s the test gives a request.
    auto queue = makeQueue(DavaRorQueue::DavaRorApiEndpoint::batch, 4s);
    for (int i = 0; i < 30; ++i) {
        queue->add(event(i, {{"text", randomText(100'000, "ab")}}));
    }
    // The whole backlog takes 12 s to read, and each too large batch 4 s more.
    ASSERT_TRUE(platform::pumpMainQueueUntil(
        [&] {
            queue->flush();
            return queue->depth() == 0;
        },
        120s));
    std::vector<int> expected(30);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(flattened(batchesFrom(0)), expected);
    EXPECT_TRUE(log.contains("still being sent when its time ran out"));
    EXPECT_EQ(filesOnDisk(), 0u);
}

// A queue folder that is a link to someone's documents: nothing in them is
// read as an event, moved or deleted, and the queue works in a folder of its
// own.
TEST_F(DeliveryTest, ALinkedQueueFolderIsReplacedAndWhatItNamesIsLeftAlone) {
    const fs::path documents = folder.path() / "documents";
    fs::create_directories(documents / "photos");
    const std::string letter = R"({"event":"letter","distinct_id":"user"})";
    testsupport::writeFile(documents / "letter.json", letter);
    testsupport::writeFile(documents / "photos" / "one.jpg", "jpeg");
    fs::create_directories(queueFolder().parent_path());
    fs::create_directory_symlink(documents, queueFolder());

    auto queue = makeQueue();
    EXPECT_EQ(queue->depth(), 0);
    queue->add(event(1));
    deliverEverything(*queue);
    EXPECT_EQ(flattened(batchesFrom(0)), std::vector<int>{1});
    EXPECT_FALSE(fs::is_symlink(queueFolder()));
    EXPECT_EQ(testsupport::entryNames(documents), (std::set<std::string>{"letter.json", "photos"}));
    EXPECT_EQ(testsupport::readFile(documents / "letter.json"), letter);
    EXPECT_EQ(testsupport::entryNames(documents / "photos"), std::set<std::string>{"one.jpg"});
}

// A link that cannot be removed (its folder is read-only) is still not
// followed: the store starts empty and the documents stay as they are.
TEST_F(DeliveryTest, ALinkedQueueFolderThatCannotBeReplacedIsNotFollowed) {
    const fs::path documents = folder.path() / "documents";
    fs::create_directories(documents);
    const std::string letter = R"({"event":"letter","distinct_id":"user"})";
    testsupport::writeFile(documents / "letter.json", letter);
    fs::create_directories(queueFolder().parent_path());
    fs::create_directory_symlink(documents, queueFolder());
    fs::permissions(queueFolder().parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    {
        const testsupport::WithoutFileOverride modesBindRoot;
        ASSERT_TRUE(modesBindRoot.dropped());
        auto queue = makeQueue();
        EXPECT_EQ(queue->depth(), 0);
        queue->flush();
        queue->dispatchQueueForTesting().sync([] {});
    }
    fs::permissions(queueFolder().parent_path(), fs::perms::owner_all);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(fs::is_symlink(queueFolder()));
    EXPECT_EQ(testsupport::entryNames(documents), std::set<std::string>{"letter.json"});
    EXPECT_EQ(testsupport::readFile(documents / "letter.json"), letter);
}

// The queue folder swapped for a link while the queue runs: neither the link's
// target nor the folder moved away receives anything, and each failed write is
// logged as a failure.
TEST_F(DeliveryTest, AQueueFolderSwappedForALinkReceivesNothing) {
    const fs::path documents = folder.path() / "documents";
    const fs::path moved = folder.path() / "moved";
    fs::create_directories(documents);
    auto queue = makeQueue();
    queue->add(event(1));

    fs::rename(queueFolder(), moved);
    fs::create_directory_symlink(documents, queueFolder());
    queue->add(event(2));
    queue->add(event(3));
    EXPECT_TRUE(testsupport::entryNames(documents).empty());
    EXPECT_EQ(testsupport::entryNames(moved).size(), 1u);
    for (const char* name : {"event 2", "event 3"}) {
        EXPECT_TRUE(log.contains("[DavaRor] Failed to queue event '" + std::string(name) + "'"));
        EXPECT_FALSE(log.contains("Queued event '" + std::string(name) + "'"));
    }
    EXPECT_EQ(queue->depth(), 1);
}

// Files of other owners or modes are not damaged: they stay on disk untouched,
// each reported once, and the readable ones are sent.
TEST_F(DeliveryTest, FilesTheProcessMayNotReadAreKeptAndSkipped) {
    fs::create_directories(queueFolder());
    const auto base = fs::file_time_type::clock::now() - 1h;
    const char* names[] = {"no-mode", "other-owner", "readable"};
    std::string stored[3];
    for (int i = 0; i < 3; ++i) {
        stored[i] = event(i).toJSON().dump();
        testsupport::writeFile(queueFolder() / names[i], stored[i]);
        fs::last_write_time(queueFolder() / names[i], base + std::chrono::seconds(i));
    }
    ASSERT_EQ(::chmod((queueFolder() / "no-mode").c_str(), 0), 0);
    ASSERT_EQ(::chmod((queueFolder() / "other-owner").c_str(), 0600), 0);
    ASSERT_EQ(::chown((queueFolder() / "other-owner").c_str(), 65534, 65534), 0);
    {
        // The queue's threads start without the override and keep it so.
        const testsupport::WithoutFileOverride modesBindRoot;
        ASSERT_TRUE(modesBindRoot.dropped());
        auto queue = makeQueue();
        deliverEverything(*queue);
        queue->add(event(3));
        deliverEverything(*queue);
    }
    EXPECT_EQ(flattened(batchesFrom(0)), (std::vector<int>{2, 3}));
    EXPECT_EQ(testsupport::entryNames(queueFolder()),
              (std::set<std::string>{"no-mode", "other-owner"}));
    EXPECT_EQ(testsupport::readFile(queueFolder() / "no-mode"), stored[0]);
    EXPECT_EQ(testsupport::readFile(queueFolder() / "other-owner"), stored[1]);
    EXPECT_EQ(log.count("cannot be read (Permission denied); it is kept and skipped"), 2u);
    EXPECT_EQ(log.count("is corrupted"), 0u);
}
