// Standard output belongs to the application: the crash reporter logs to standard error, which
// stands for the system log, and the client prints its own lines only while its debug flag is on.
#include "DavaRor/Utils/DavaRorLog.h"
#include "ForkedChild.h"
#include "FreshProcess.h"
#include "support/CrashCaptureClient.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Streams {
    std::string output;
    std::string error;
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t count; (count = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    return text;
}

// A command-line tool, with no bundle version, that sets the client up with crash capture on,
// captures one event and closes it, in a child whose standard streams are read here.
Streams runCommandLineTool(bool clientLogging) {
    testsupport::TemporaryDirectory home;
    int output[2];
    int error[2];
    if (pipe(output) != 0 || pipe(error) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const int status = runInForkedChild(
        [&] {
            dup2(output[1], STDOUT_FILENO);
            dup2(error[1], STDERR_FILENO);
            testsupport::useHome(home.path());
            davaRorLogEnabled = clientLogging;
            auto client = testsupport::setUpCrashCaptureClient("com.example.tool");
            client->capture("ran");
            client->close();
            std::fflush(nullptr);
        },
        120);
    close(output[1]);
    close(error[1]);
    Streams streams{drain(output[0]), drain(error[0])};
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << streams.error;
    return streams;
}

} // namespace

TEST(StandardStreamsTest, CrashReporterLogsToStandardErrorAndTheClientOnlyWhenAsked) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const Streams quiet = runCommandLineTool(false);
    EXPECT_EQ(quiet.output, "");
    EXPECT_NE(quiet.error.find("[KOCrashReporter] Warning -- bundle version unavailable\n"),
              std::string::npos)
        << quiet.error;

    const Streams debugging = runCommandLineTool(true);
    EXPECT_NE(debugging.output.find("[DavaRor] "), std::string::npos);
    EXPECT_EQ(debugging.output.find("[KOCrashReporter]"), std::string::npos) << debugging.output;
    EXPECT_NE(debugging.error.find("[KOCrashReporter] "), std::string::npos);
}
