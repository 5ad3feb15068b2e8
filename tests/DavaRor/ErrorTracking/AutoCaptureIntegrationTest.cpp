// The auto-capture integration at setup: the report the previous run left in the reporter's
// folder becomes one "$exception" event (or is dropped, never twice), and the install gates.
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/ErrorTracking/DavaRorErrorTrackingAutoCaptureIntegration.h"
#include "DavaRor/Utils/DavaRorSdkInfo.h"
#include "platform/userdefaults/UserDefaults.h"
#include "reporter/KOCrashCustomData.h"
#include "reporter/KOCrashReporter.h"

#include "CrashReportMessages.h"
#include "ForkedChild.h"
#include "FreshProcess.h"
#include "support/DavaRorLogCapture.h"
#include "support/Files.h"
#include "support/ImagesAnnounced.h"
#include "support/LoopbackHttpServer.h"
#include "support/RecordingClient.h"
#include "support/TemporaryDirectory.h"
#include "support/WithoutFileOverride.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using nlohmann::json;

namespace {

constexpr const char* kFile = " (DavaRor/DavaRorErrorTrackingAutoCaptureIntegration:";
// Far beyond what a set-up and a crash take, even under the emulator.
constexpr unsigned kChildGuardSeconds = 120;

// A client set up as an application with error tracking on would be, its files and the crash
// reporter's folder in a home of its own.
class AutoCaptureIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::useHome(home.path());
        allowInRemoteConfig(*config, true);
    }
    void TearDown() override {
        for (auto& client : clients) {
            client->close();
        }
    }

    // Error tracking alone, so that the only event is the crash's.
    static std::shared_ptr<DavaRorConfig> errorTrackingConfig(std::string apiKey) {
        auto config = testsupport::quietConfig(std::move(apiKey));
        config->errorTrackingConfig->setAutoCapture(true);
        config->captureScreenViews = false;
        config->captureApplicationLifecycleEvents = false;
        return config;
    }

    static std::shared_ptr<DavaRorConfig> allowedErrorTrackingConfig(std::string apiKey) {
        auto config = errorTrackingConfig(std::move(apiKey));
        allowInRemoteConfig(*config, true);
        return config;
    }

    static void allowInRemoteConfig(const DavaRorConfig& config, bool allowed) {
        DavaRorStorage(config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                       {{"autocaptureExceptions", allowed}});
    }

    // Where the reporter that the integration makes finds the previous run's report.
    // The tests fork once it has described the loaded libraries.
    static std::filesystem::path pendingReport() {
        const auto path =
            KOCrashReporter(KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                                  KOCrashReporterSymbolicationStrategyNone, true))
                .crashReportPath();
        testsupport::waitUntilImagesAnnounced();
        return path;
    }

    static void leavePendingReport(const std::vector<std::uint8_t>& bytes) {
        std::filesystem::create_directories(pendingReport().parent_path());
        std::ofstream(pendingReport(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    static void setCustomData(CrashReportMessages& messages, Kocrash__CrashReport* report,
                              const std::string& text) {
        report->has_custom_data = 1;
        report->custom_data = messages.bytes({text.begin(), text.end()});
    }

    std::shared_ptr<DavaRorSDK> setUpClient(std::shared_ptr<DavaRorConfig> clientConfig) {
        auto client = DavaRorSDK::create();
        clients.push_back(client);
        recorders.push_back(std::make_unique<testsupport::EventRecorder>(*client));
        client->setup(std::move(clientConfig));
        return client;
    }

    std::vector<DavaRorEvent> setUpAndRecord() {
        setUpClient(config);
        return recorders.back()->events();
    }

    testsupport::TemporaryDirectory home;
    testsupport::DavaRorLogCapture log;
    CrashReportMessages messages;
    std::shared_ptr<DavaRorConfig> config = errorTrackingConfig("key");
    std::vector<std::shared_ptr<DavaRorSDK>> clients;
    std::vector<std::unique_ptr<testsupport::EventRecorder>> recorders;
};

TEST_F(AutoCaptureIntegration, TheStoredContextNamesTheUserAndTheCrashsPropertiesWin) {
    config->captureScreenViews = true;
    auto* report = fullARM64Report(messages);
    setCustomData(
        messages, report,
        R"({"distinct_id": "u1", "event_properties": {"$exception_level": "x", "k": 1}})");
    leavePendingReport(packWithProtobufC(report));

    const auto events = setUpAndRecord();

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "$exception");
    EXPECT_EQ(events[0].distinctId, "u1");
    EXPECT_EQ(events[0].timestamp, DavaRorDate{std::chrono::seconds{1700000000}});
    EXPECT_EQ(events[0].properties["k"], 1);
    EXPECT_EQ(events[0].properties["$exception_level"], "fatal");
    EXPECT_EQ(events[0].properties["$exception_list"][0]["type"], "NSInvalidArgumentException");
    EXPECT_FALSE(std::filesystem::exists(pendingReport()));
    const auto lines = log.lines();
    const auto installed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" installed") != std::string::npos;
    });
    ASSERT_NE(installed, lines.end());
    EXPECT_NE(installed->find("DavaRorErrorTrackingAutoCaptureIntegration"), std::string::npos)
        << "installed first";
    EXPECT_TRUE(log.contains("[DavaRor] Found pending crash report, processing..."));
    EXPECT_TRUE(log.contains("[DavaRor] Crash report processed and captured"));
}

TEST_F(AutoCaptureIntegration, WithoutAStoredContextOnlyTheCrashsPropertiesAreSent) {
    const auto before = std::chrono::system_clock::now();
    for (const char* customData : {"", "[1]", "{\"a\":1}\xff"}) {
        SCOPED_TRACE(customData);
        auto* report = minimalReport(messages);
        if (*customData != '\0') {
            setCustomData(messages, report, customData);
        }
        leavePendingReport(packWithProtobufC(report));

        const auto events = setUpAndRecord();

        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].distinctId, clients.back()->getDistinctId());
        EXPECT_GE(events[0].timestamp, before) << "a report without a time is sent as of now";
        std::vector<std::string> keys;
        for (const auto& [key, value] : events[0].properties.items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"$exception_level", "$exception_list"}));
        clients.back()->close();
    }
}

TEST_F(AutoCaptureIntegration, AReportIsReadOnceEvenWhenItCannotBeSent) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool optOut;
        std::vector<std::string> lines;
    };
    auto* oversized = minimalReport(messages);
    setCustomData(messages, oversized,
                  R"({"event_properties": {"padding": ")" +
                      std::string(KOCrashReporterDefaultMaxReportBytes, 'x') + "\"}}");
    const Case cases[] = {
        {"larger than a crash writes",
         packWithProtobufC(oversized),
         false,
         {"[DavaRor] Failed to load crash report: Error Domain=NSPOSIXErrorDomain Code=27 "}},
        {"undecodable",
         {'k', 'o', 'c', 'r', 'a', 's', 'h', 2, 0},
         false,
         {"[DavaRor] Failed to process crash report: Error Domain=KOCrashReporterErrorDomain "
          "Code=2 \"Could not decode unsupported crash report version: 2\""}},
        {"opted out",
         packWithProtobufC(minimalReport(messages)),
         true,
         {"[DavaRor] DavaRor is in OptOut state.",
          "[DavaRor] Crash report processed and captured"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        leavePendingReport(c.bytes);
        config->setOptOut(c.optOut);

        EXPECT_TRUE(setUpAndRecord().empty());
        EXPECT_FALSE(std::filesystem::exists(pendingReport()));
        for (const auto& line : c.lines) {
            EXPECT_TRUE(log.contains(line)) << line;
        }
        clients.back()->close();
    }
}

TEST_F(AutoCaptureIntegration, AReportThatCannotBeRemovedIsSentOnce) {
    leavePendingReport(packWithProtobufC(fullARM64Report(messages)));
    const auto folder = pendingReport().parent_path();
    std::filesystem::permissions(folder, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    std::size_t sent = 0;
    {
        // The setup, and so the purge, runs on this thread.
        const testsupport::WithoutFileOverride readOnlyFolder;
        ASSERT_TRUE(readOnlyFolder.dropped());
        for (int launch = 0; launch < 3; ++launch) {
            sent += setUpAndRecord().size();
            clients.back()->close();
        }
    }
    std::filesystem::permissions(folder, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_TRUE(std::filesystem::exists(pendingReport())) << "the purge must have failed";
    EXPECT_EQ(sent, 1u);
    EXPECT_EQ(log.count("[DavaRor] Crash report not sent: it was sent before"), 2u);

    // Removable at last, it is still not sent again.
    EXPECT_TRUE(setUpAndRecord().empty());
    EXPECT_FALSE(std::filesystem::exists(pendingReport()));
}

TEST_F(AutoCaptureIntegration, InstallIsRefusedWhereRemoteConfigSaysNoAndForASecondClient) {
    allowInRemoteConfig(*config, false);
    leavePendingReport(packWithProtobufC(minimalReport(messages)));
    setUpAndRecord();
    EXPECT_TRUE(log.contains("failed to install: Error tracking auto capture integration disabled "
                             "in remote config." +
                             std::string(kFile) + "24)"));
    EXPECT_TRUE(std::filesystem::exists(pendingReport())) << "nothing was created";
    clients.back()->close();

    allowInRemoteConfig(*config, true);
    auto second = allowedErrorTrackingConfig("second");
    setUpAndRecord();
    setUpClient(second);
    EXPECT_TRUE(log.contains("failed to install: Error tracking auto capture integration already "
                             "installed to another DavaRorSDK instance." +
                             std::string(kFile) + "29)"));
    EXPECT_EQ(recorders[1]->events().size(), 1u);
    EXPECT_TRUE(recorders[2]->events().empty());
}

// Whatever escapes the old report's processing ends only that: the report is gone, and the
// integration is installed with this run's crashes captured. Capture is armed once per process,
// so each case runs in a child of a process that has armed nothing.
TEST_F(AutoCaptureIntegration, AFailureWhileSendingTheOldReportLeavesCaptureOn) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    struct Case {
        const char* name;
        void (*fail)();
        const char* line;
    };
    const Case cases[] = {
        {"throwing subscriber", [] { throw std::runtime_error("subscriber failed"); },
         "[DavaRor] Failed to process crash report: subscriber failed"},
        {"memory exhausted", [] { throw std::bad_alloc(); },
         "[DavaRor] Failed to process crash report: std::bad_alloc"},
        {"a value that is no exception", [] { throw 7; },
         "[DavaRor] Failed to process crash report: unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        leavePendingReport(packWithProtobufC(minimalReport(messages)));
        const int status = runInForkedChild(
            [&] {
                auto client = DavaRorSDK::create();
                const auto token =
                    client->onEventCaptured.subscribe([&](const DavaRorEvent&) { c.fail(); });
                client->setup(config);
                KOCrashReporter probe(
                    KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                          KOCrashReporterSymbolicationStrategyNone, true));
                std::optional<KOError> error;
                const bool armed = !probe.enableCrashReporterAndReturnError(&error) &&
                                   error->code() == KOCrashReporterErrorAlreadyEnabled;
                const bool logged =
                    log.contains(c.line) &&
                    log.contains("[DavaRor] Integration DavaRorErrorTrackingAutoCaptureIntegration "
                                 "installed");
                _exit(armed && logged ? 0 : 1);
            },
            kChildGuardSeconds);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(std::filesystem::exists(pendingReport()));
    }
}

// A client closed and another set up in its place: the first one's reporter keeps the handlers
// (capture is armed once per process), yet a crash belongs to the client in place at the time.
TEST_F(AutoCaptureIntegration, ACrashAfterTheClientWasReplacedCarriesTheNewClientsContext) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const auto distinctIds = home.path() / "distinct ids";
    const int status = runInForkedChild(
        [&] {
            davaRorVersion = "first client";
            auto first = setUpClient(allowedErrorTrackingConfig("first"));
            const std::string firstId = first->getDistinctId();
            first->close();
            davaRorVersion = "second client";
            auto second = setUpClient(allowedErrorTrackingConfig("second"));
            testsupport::writeFile(distinctIds, firstId + " " + second->getDistinctId());
            std::abort();
        },
        kChildGuardSeconds);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    std::istringstream ids(testsupport::readFile(distinctIds));
    std::string firstId;
    std::string secondId;
    ids >> firstId >> secondId;
    ASSERT_NE(firstId, secondId);

    const auto events = setUpAndRecord();

    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].distinctId, secondId);
    EXPECT_EQ(events[0].properties["$lib_version"], "second client");
}

// A umask that lets others read changes nothing: every file the client and the reporter write
// (events, identity, flags, user defaults, the crash report) is the user's alone, while the
// reporter's folders stay 0755.
TEST_F(AutoCaptureIntegration, EveryFileWrittenIsTheUsersAloneWhateverTheUmask) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const auto modeOf = [](const std::filesystem::path& path) {
        struct stat status {};
        return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0u;
    };
    const mode_t savedMask = umask(022);
    const int status = runInForkedChild(
        [&] {
            // Started here: threads of the parent's would not survive the fork under the emulator.
            testsupport::LoopbackHttpServer service;
            service.enqueue(
                "/flags",
                testsupport::ScriptedReply::respond(
                    200, R"({"flags":{"a":{"enabled":true}},"requestId":"r","evaluatedAt":1})"));
            auto childConfig = testsupport::quietConfig("key", service.baseUrl());
            childConfig->errorTrackingConfig->setAutoCapture(true);
            childConfig->captureScreenViews = false;
            allowInRemoteConfig(*childConfig, true);
            auto client = setUpClient(childConfig);
            client->capture("before the crash");
            client->getDistinctId();
            // The store the launch check keeps the installed version in.
            platform::UserDefaults::standard().setString("probe", "written");
            platform::UserDefaults::standard().synchronize();
            std::atomic<bool> reloaded = false;
            client->reloadFeatureFlags([&](const auto&) { reloaded = true; });
            while (!reloaded) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::abort();
        },
        kChildGuardSeconds);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_EQ(modeOf(pendingReport()), 0600u);
    // The next launch turns the report into a queued event.
    ASSERT_EQ(setUpAndRecord().size(), 1u);
    umask(savedMask);

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
        names.push_back(entry.path().filename().string());
        if (entry.is_regular_file()) {
            EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
        }
    }
    for (auto folder = pendingReport().parent_path(); folder != home.path() / "cache";
         folder = folder.parent_path()) {
        EXPECT_EQ(modeOf(folder), 0755u) << folder;
    }
    for (const char* written : {"davaror.anonymousId", "davaror.enabledFeatureFlags",
                                "davaror.requestId", "davaror.flags"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), written), names.end()) << written;
    }
    EXPECT_GE(std::count_if(names.begin(), names.end(),
                            [](const auto& name) { return name.ends_with(".json"); }),
              1);
}

TEST_F(AutoCaptureIntegration, StartArmsOnlyAReporterTheIntegrationHolds) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    config->errorTrackingConfig->setAutoCapture(false);
    auto client = setUpClient(config);
    DavaRorErrorTrackingAutoCaptureIntegration integration;
    const auto linesAtSetup = log.lines().size();
    integration.start();
    EXPECT_EQ(log.lines().size(), linesAtSetup) << "no reporter before install";

    integration.install(*client);
    EXPECT_EQ(log.count("[DavaRor] KOCrashReporter enabled successfully"), 1u);
    integration.start();
    EXPECT_EQ(log.count("[DavaRor] Failed to enable KOCrashReporter: Error Domain="), 1u)
        << "a reporter is armed once per process";
    const auto linesWhileHeld = log.lines().size();
    integration.stop();
    integration.start();
    EXPECT_EQ(log.lines().size(), linesWhileHeld) << "no reporter after stop";
    integration.uninstall(*client);
}

// Without an application identity no reporter can be made: no client holds the integration
// then, so any client's uninstall gives its claim back.
TEST_F(AutoCaptureIntegration, AnInstallThatMadeNoReporterHoldsNoClient) {
    config->errorTrackingConfig->setAutoCapture(false);
    auto first = setUpClient(config);
    auto secondConfig = allowedErrorTrackingConfig("second");
    secondConfig->errorTrackingConfig->setAutoCapture(false);
    auto second = setUpClient(secondConfig);
    char* const processName = program_invocation_short_name;
    program_invocation_short_name = const_cast<char*>("");
    DavaRorErrorTrackingAutoCaptureIntegration integration;
    integration.install(*first);
    integration.uninstall(*second);
    DavaRorErrorTrackingAutoCaptureIntegration replacement;
    EXPECT_NO_THROW(replacement.install(*second));
    program_invocation_short_name = processName;
    EXPECT_EQ(log.count("[DavaRor] Failed to create KOCrashReporter instance"), 2u);
    replacement.uninstall(*second);
}

TEST_F(AutoCaptureIntegration, ConcurrentContextChangesLeaveOneWholeContextInTheNextReport) {
    config->errorTrackingConfig->setAutoCapture(false);
    auto client = setUpClient(config);
    DavaRorErrorTrackingAutoCaptureIntegration integration;
    integration.install(*client);

    std::vector<json> contexts;
    for (int i = 0; i < 8; ++i) {
        contexts.push_back({{"distinct_id", "user-" + std::to_string(i)},
                            {"event_properties", {{"padding", std::string(4096, 'a' + i)}}}});
    }
    std::vector<std::thread> threads;
    for (const auto& context : contexts) {
        threads.emplace_back([&integration, &context] {
            for (int round = 0; round < 50; ++round) {
                integration.contextDidChange(context);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto published = [] {
        const auto* data = kocrash_async_custom_data_acquire();
        return data ? json::parse(data->bytes, data->bytes + data->length) : json();
    };
    const json last = published();
    EXPECT_NE(std::find(contexts.begin(), contexts.end(), last), contexts.end());

    integration.contextDidChange({{"distinct_id", "\xff"}});
    EXPECT_TRUE(log.contains("[DavaRor] Failed to serialize crash context: "));
    EXPECT_EQ(published(), last);
    integration.uninstall(*client);
}

// The child is traced by this process, as by a debugger that lets it run.
TEST(AutoCaptureIntegrationUnderADebugger, TheReportIsSentButCrashesAreLeftToTheDebugger) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    testsupport::TemporaryDirectory home;
    const pid_t child = fork();
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(2);
        }
        testsupport::useHome(home.path());
        testsupport::DavaRorLogCapture log;
        auto config = testsupport::quietConfig("key");
        config->errorTrackingConfig->setAutoCapture(true);
        config->captureApplicationLifecycleEvents = false;
        DavaRorStorage(*config).setJson(DavaRorStorage::StorageKey::errorTracking,
                                        {{"autocaptureExceptions", true}});
        CrashReportMessages messages;
        const auto bytes = packWithProtobufC(minimalReport(messages));
        KOCrashReporter probe(KOCrashReporterConfig(
            KOCrashReporterSignalHandlerTypeMach, KOCrashReporterSymbolicationStrategyNone, true));
        std::filesystem::create_directories(probe.crashReportDirectory());
        std::ofstream(probe.crashReportPath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));

        auto client = DavaRorSDK::create();
        testsupport::EventRecorder events(*client);
        client->setup(config);
        const bool sent = events.names() == std::vector<std::string>{"$exception"};
        const bool leftToDebugger = log.contains("[DavaRor] Crash handler is disabled because a "
                                                 "debugger is attached. Crashes will be caught by "
                                                 "the debugger instead.");
        const bool notEnabled = probe.enableCrashReporter();
        client->close();
        _exit(sent && leftToDebugger && notEnabled ? 0 : 1);
    }
    int status = 0;
    // A traced child stops at every signal it gets; let each one through.
    while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        ptrace(PTRACE_CONT, child, nullptr, WSTOPSIG(status));
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "this system lets no process be traced";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
