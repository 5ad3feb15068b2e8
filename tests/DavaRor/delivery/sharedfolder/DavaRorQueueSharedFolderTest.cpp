// Two processes of one application sharing the event folder, each with its
// own queue, flushing against one server: every event arrives once, from
// whichever process sends it, and a sender killed with its batch in flight
// holds nobody up.
#include "DavaRor/DavaRorStorage.h"
#include "platform/core/UniqueFd.h"
#include "support/Files.h"
#include "support/Gunzip.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ranges>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;

// A sender process with its own queue on the shared folder. It has stored
// the events [first, first + count) when the constructor returns, starts
// flushing on start(), and flushes until it is killed.
class SharingProcess {
public:
    SharingProcess(const std::string& host, const std::filesystem::path& folder, int first,
                   int count) {
        int channel[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
            return;
        }
        const std::string command = "exec " + std::string(DAVAROR_TEST_EMULATOR) + " " +
                                    SHARED_FOLDER_SENDER + " " + host + " " + folder.string() +
                                    " " + std::to_string(first) + " " + std::to_string(count) +
                                    " " + std::to_string(channel[1]);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::fcntl(channel[1], F_SETFD, 0);
            ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
        ::close(channel[1]);
        channel_ = platform::UniqueFd(channel[0]);
        char stored;
        (void)::read(channel_.get(), &stored, 1);
    }
    ~SharingProcess() { kill(); }

    void start() { (void)::send(channel_.get(), "g", 1, MSG_NOSIGNAL); }
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    platform::UniqueFd channel_;
};

std::multiset<int> sentIndexes(const std::vector<testsupport::RecordedRequest>& requests) {
    std::multiset<int> indexes;
    for (const auto& request : requests) {
        const auto body = nlohmann::json::parse(gunzip(request.body));
        for (const auto& sent : body["batch"]) {
            indexes.insert(sent["properties"]["index"].get<int>());
        }
    }
    return indexes;
}

std::multiset<int> eachOnce(int count) {
    const auto indexes = std::views::iota(0, count);
    return {indexes.begin(), indexes.end()};
}

bool waitUntilEmpty(const std::filesystem::path& folder) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!testsupport::entryNames(folder).empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class DavaRorQueueSharedFolder : public ::testing::Test {
protected:
    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory folder;
    const std::filesystem::path queueFolder =
        DavaRorStorage("key", folder.path()).url(DavaRorStorage::StorageKey::queue);
};

TEST_F(DavaRorQueueSharedFolder, EachEventIsSentOnceWhicheverProcessSendsIt) {
    server.setDefaultReply(ScriptedReply::respond(200).after(20ms));
    SharingProcess first(server.baseUrl(), folder.path(), 0, 30);
    // Started later, it lists the first one's files as its own too.
    SharingProcess second(server.baseUrl(), folder.path(), 30, 30);
    first.start();
    second.start();
    ASSERT_TRUE(waitUntilEmpty(queueFolder));
    EXPECT_EQ(sentIndexes(server.requests()), eachOnce(60));
}

TEST_F(DavaRorQueueSharedFolder, ASenderKilledWithItsBatchInFlightHoldsNobodyUp) {
    server.enqueue(ScriptedReply::hang());
    SharingProcess killed(server.baseUrl(), folder.path(), 0, 30);
    killed.start();
    ASSERT_TRUE(server.waitForRequests(1));
    SharingProcess survivor(server.baseUrl(), folder.path(), 30, 10);
    survivor.start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.requests().size(), 1u) << "sent while the other process held the folder";

    killed.kill();
    ASSERT_TRUE(waitUntilEmpty(queueFolder));
    auto requests = server.requests();
    requests.erase(requests.begin()); // the batch in flight at the kill, never answered
    EXPECT_EQ(sentIndexes(requests), eachOnce(40));
}

} // namespace
