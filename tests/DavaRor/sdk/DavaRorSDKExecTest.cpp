// A program that execs a child while the client is set up and sending hands the child none of
// the library's descriptors.
#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorSDK.h"
#include "DavaRor/DavaRorStorage.h"
#include "FreshProcess.h"
#include "support/LoopbackHttpServer.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The descriptors an exec'd child finds open, as it lists them itself.
std::set<int> descriptorsOfAnExecdChild() {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", "ls /proc/$$/fd", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string listing;
    char buffer[256];
    for (ssize_t count; (count = read(output[0], buffer, sizeof buffer)) > 0;) {
        listing.append(buffer, static_cast<std::size_t>(count));
    }
    close(output[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::set<int> descriptors;
    std::istringstream numbers(listing);
    for (int fd; numbers >> fd;) {
        descriptors.insert(fd);
    }
    return descriptors;
}

} // namespace

// Crash capture on, reachability watched, an upload waiting for its reply: a child exec'd now
// finds what one exec'd before setup found (the standard streams and what the test runner
// handed down), nothing more.
TEST(ExecdChildTest, InheritsNoDescriptorOfTheLibraryWhileItSends) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const std::set<int> beforeSetup = descriptorsOfAnExecdChild();
    ASSERT_TRUE(beforeSetup.contains(STDOUT_FILENO));

    testsupport::LoopbackHttpServer server;
    testsupport::TemporaryDirectory data;
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    auto reply = std::make_shared<testsupport::ReplyGate>();
    server.enqueue(testsupport::ScriptedReply::respond(200).heldBy(reply));
    auto config = std::make_shared<DavaRorConfig>("key", server.baseUrl());
    config->disableQueueTimerForTesting = true;
    config->disableRemoteConfigForTesting = true;
    config->preloadFeatureFlags = false;
    config->captureApplicationLifecycleEvents = false;
    config->flushAt = 1;
    config->errorTrackingConfig->setAutoCapture(true);
    DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                    {{"autocaptureExceptions", true}});
    auto client = DavaRorSDK::create();
    client->setup(config);
    client->capture("sending");
    ASSERT_TRUE(server.waitForRequests(1));

    EXPECT_EQ(descriptorsOfAnExecdChild(), beforeSetup);
    reply->open();
    client->close();
}
