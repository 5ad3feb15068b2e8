#include "DavaRor/DavaRorSDK.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/DavaRorContext.h"
#include "DavaRor/DavaRorIntegration.h"
#include "DavaRor/DavaRorStorage.h"
#include "DavaRor/DavaRorStorageManager.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorSanitizer.h"
#include "DavaRor/Utils/TimeBasedEpochGenerator.h"
#include "DavaRor/delivery/DavaRorApi.h"
#include "DavaRor/delivery/DavaRorQueue.h"
#include "DavaRor/delivery/DavaRorRemoteConfig.h"
#include "DavaRor/delivery/Reachability.h"
#include "platform/core/LibraryThread.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"
#include "platform/foundation/TypeName.h"

using davaror::TimeBasedEpochGenerator;

using davaror::Reachability;

// Everything setup builds, replaced as a whole: an operation takes its own
// reference, so close() never pulls an object out from under a capture or
// an upload in flight.
struct DavaRorSDK::Services {
    std::shared_ptr<DavaRorConfig> config;
    std::shared_ptr<DavaRorStorage> storage;
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<DavaRorApi> api;
    std::shared_ptr<DavaRorQueue> queue;
    std::shared_ptr<DavaRorQueue> replayQueue;
    std::shared_ptr<DavaRorContext> context;
    std::shared_ptr<DavaRorRemoteConfig> remoteConfig;
};

namespace {

constexpr const char* notSetUp =
    "DavaRor method was called without `setup` being complete. Call wil be ignored.";
constexpr const char* setUpBeforeFork =
    "DavaRor was set up before this process was forked from its parent, whose threads run it: "
    "call setup again in this process. Call will be ignored.";

std::string typeName(const DavaRorIntegration& integration) {
    return platform::foundation::typeName(typeid(integration));
}

} // namespace

DavaRorSDK::DavaRorSDK() = default;

// The integrations hold the client weakly and see it gone already; they still give back
// what they hold for it.
DavaRorSDK::~DavaRorSDK() {
    if (setUpInAnotherProcess()) {
        forgetSetupOfAnotherProcess();
        return;
    }
    uninstallIntegrations();
}

std::shared_ptr<DavaRorSDK> DavaRorSDK::shared() {
    static const auto instance = create();
    return instance;
}

std::shared_ptr<DavaRorSDK> DavaRorSDK::create() {
    return std::shared_ptr<DavaRorSDK>(new DavaRorSDK());
}

std::shared_ptr<DavaRorSDK::Services> DavaRorSDK::services() const {
    if (setUpInAnotherProcess()) {
        return nullptr;
    }
    std::lock_guard guard(setupLock_);
    return services_;
}

bool DavaRorSDK::setUpInAnotherProcess() const {
    return setUpIn_.load() != platform::forkGeneration();
}

// A forked child inherits the client its parent set up, but not the threads that run it, and
// the files, locks and connections it holds are the parent's: the child leaves all of it
// untouched and is then not set up, so that it may set the client up for itself. The client's
// own locks are free in the child however the parent's threads held them at the fork; what
// they guard, a parent's thread may have left half-changed, so the child starts that anew too,
// integrations being installed included. Other threads of the child see the client as set up
// elsewhere and keep away from what is moved here.
void DavaRorSDK::forgetSetupOfAnotherProcess() {
    if (!setUpInAnotherProcess()) {
        return;
    }
    platform::leaveToParent(services_);
    {
        std::lock_guard guard(integrationsLock_);
        platform::leaveToParent(installedIntegrations_);
        installPassRunning_ = false;
        integrationsWanted_ = false;
    }
    {
        std::lock_guard guard(flagCallsLock_);
        platform::leaveToParent(reportedFlagCalls_);
    }
    enabled_.store(false);
    setUpIn_.store(platform::forkGeneration());
}

std::shared_ptr<DavaRorConfig> DavaRorSDK::config() const {
    auto s = services();
    return s ? s->config : nullptr;
}

std::shared_ptr<DavaRorQueue> DavaRorSDK::queue() const {
    auto s = services();
    return s ? s->queue : nullptr;
}

std::shared_ptr<DavaRorQueue> DavaRorSDK::replayQueue() const {
    auto s = services();
    return s ? s->replayQueue : nullptr;
}

std::shared_ptr<Reachability> DavaRorSDK::reachability() const {
    auto s = services();
    return s ? s->reachability : nullptr;
}

std::shared_ptr<DavaRorRemoteConfig> DavaRorSDK::remoteConfig() const {
    auto s = services();
    return s ? s->remoteConfig : nullptr;
}

void DavaRorSDK::setup(std::shared_ptr<DavaRorConfig> config) {
    if (!config) {
        return;
    }
    std::unique_lock guard(setupLock_);
    forgetSetupOfAnotherProcess();
    if (enabled_.load()) {
        davaRorLog("Setup called despite already being setup!");
        return;
    }
    auto built = std::make_shared<Services>();
    built->config = config;
    built->storage = std::make_shared<DavaRorStorage>(*config);
    try {
        built->reachability = Reachability::create();
    } catch (const std::exception&) {
        // The client works without a monitor: nothing pauses for the network.
    }
    built->api = std::make_shared<DavaRorApi>(config);
    built->queue = std::make_shared<DavaRorQueue>(config, *built->storage, built->api,
                                                  DavaRorQueue::DavaRorApiEndpoint::batch,
                                                  built->reachability);
    built->replayQueue = std::make_shared<DavaRorQueue>(config, *built->storage, built->api,
                                                        DavaRorQueue::DavaRorApiEndpoint::snapshot,
                                                        built->reachability);
    built->queue->start(config->disableReachabilityForTesting, config->disableQueueTimerForTesting);
    built->replayQueue->start(config->disableReachabilityForTesting,
                              config->disableQueueTimerForTesting);
    if (!config->storageManager) {
        config->storageManager = std::make_shared<DavaRorStorageManager>(built->storage);
    }
    built->remoteConfig = makeRemoteConfig(config, built->storage, built->api);
    built->context = std::make_shared<DavaRorContext>(built->reachability);
    services_ = built;
    setUpIn_.store(platform::forkGeneration());
    enabled_.store(true);
    guard.unlock();

    installIntegrations();
    notifyContextDidChange();
    platform::MainQueue::shared().async([] {
        platform::NotificationCenter::defaultCenter().post(
            {didStartNotification, nullptr, nlohmann::json::object()});
    });
}

void DavaRorSDK::close() {
    std::shared_ptr<Services> closing;
    {
        std::lock_guard guard(setupLock_);
        forgetSetupOfAnotherProcess();
        closing = std::exchange(services_, nullptr);
        enabled_.store(false);
    }
    uninstallIntegrations();
    if (!closing) {
        return;
    }
    closing->queue->stop();
    closing->replayQueue->stop();
    if (closing->reachability) {
        closing->reachability->stopNotifier();
    }
}

bool DavaRorSDK::checkEnabled() const {
    if (!enabled_.load()) {
        davaRorLog(notSetUp);
        return false;
    }
    if (setUpInAnotherProcess()) {
        davaRorLog(setUpBeforeFork);
        return false;
    }
    return true;
}

std::string DavaRorSDK::getDistinctId() const {
    auto s = services();
    if (!s || !s->config->storageManager) {
        return "";
    }
    return s->config->storageManager->getDistinctId();
}

// What the device and library say about the person, sent with flag requests
// so that flags can target them.
nlohmann::json DavaRorSDK::getDefaultPersonProperties() const {
    auto s = services();
    return s ? s->context->staticContext() : nlohmann::json::object();
}

nlohmann::json DavaRorSDK::eventProperties(const nlohmann::json& callerProperties) const {
    auto s = services();
    nlohmann::json properties = nlohmann::json::object();
    if (s) {
        properties.update(s->context->staticContext());
        properties.update(s->context->dynamicContext());
    }
    if (callerProperties.is_object()) {
        properties.update(callerProperties);
    }
    return properties;
}

std::optional<DavaRorEvent> DavaRorSDK::buildEvent(const std::string& event,
                                                   const std::string& distinctId,
                                                   const nlohmann::json& properties,
                                                   DavaRorDate timestamp) {
    auto config = this->config();
    // The hooks are the application's code: one that throws drops its event, never the
    // caller's thread.
    try {
        nlohmann::json sanitized = config && config->propertiesSanitizer
                                       ? config->propertiesSanitizer(properties)
                                       : properties;
        DavaRorEvent built(event, distinctId, sanitizeDictionary(sanitized), timestamp,
                           TimeBasedEpochGenerator::shared().v7());
        if (config && config->beforeSend) {
            return config->beforeSend(std::move(built));
        }
        return built;
    } catch (const std::exception& error) {
        davaRorLog("Event " + event + " dropped: a configuration hook threw: " + error.what());
        return std::nullopt;
    }
}

void DavaRorSDK::enqueue(const DavaRorEvent& event, const Services& services) {
    if (event.event == "$snapshot") {
        if (event.properties.contains("$session_id")) {
            services.replayQueue->add(event);
        } else {
            return;
        }
    } else {
        services.queue->add(event);
    }
    onEventCaptured.invoke(event);
}

void DavaRorSDK::capture(const std::string& event, const nlohmann::json& properties) {
    captureInternal(event, std::nullopt, properties, nullptr, nullptr, nullptr, std::nullopt,
                    false);
}

void DavaRorSDK::captureInternal(const std::string& event, std::optional<std::string> distinctId,
                                 const nlohmann::json& properties,
                                 const nlohmann::json& userProperties,
                                 const nlohmann::json& userPropertiesSetOnce,
                                 const nlohmann::json& groups, std::optional<DavaRorDate> timestamp,
                                 bool skipBuildProperties) {
    if (!checkEnabled()) {
        return;
    }
    auto s = services();
    if (!s) {
        return;
    }
    if (s->config->optOut()) {
        davaRorLog("DavaRor is in OptOut state.");
        return;
    }
    nlohmann::json eventProps =
        skipBuildProperties ? (properties.is_object() ? properties : nlohmann::json::object())
                            : eventProperties(properties);
    if (!skipBuildProperties) {
        if (userProperties.is_object() && !userProperties.empty()) {
            eventProps["$set"] = userProperties;
        }
        if (userPropertiesSetOnce.is_object() && !userPropertiesSetOnce.empty()) {
            eventProps["$set_once"] = userPropertiesSetOnce;
        }
        if (groups.is_object() && !groups.empty()) {
            eventProps["$groups"] = groups;
        }
    }
    auto built = buildEvent(event, distinctId.value_or(getDistinctId()), eventProps,
                            timestamp.value_or(std::chrono::system_clock::now()));
    if (built) {
        enqueue(*built, *s);
    }
}

void DavaRorSDK::screen(const std::string& screenTitle, const nlohmann::json& properties) {
    nlohmann::json screenProperties = {{"$screen_name", screenTitle}};
    if (properties.is_object()) {
        screenProperties.update(sanitizeDictionary(properties));
    }
    capture("$screen", screenProperties);
}

void DavaRorSDK::flush() {
    if (!checkEnabled()) {
        return;
    }
    if (auto s = services()) {
        s->queue->flush();
        s->replayQueue->flush();
    }
}

void DavaRorSDK::optOut() {
    auto s = checkEnabled() ? services() : nullptr;
    if (!s) {
        return;
    }
    s->config->setOptOut(true);
    uninstallIntegrations();
}

void DavaRorSDK::optIn() {
    auto s = checkEnabled() ? services() : nullptr;
    if (!s) {
        return;
    }
    s->config->setOptOut(false);
    installIntegrations();
}

bool DavaRorSDK::isOptOut() const {
    auto s = services();
    return s && s->config->optOut();
}

void DavaRorSDK::installIntegrations() {
    if (!services()) {
        return;
    }
    {
        std::lock_guard guard(integrationsLock_);
        if (!installedIntegrations_.empty() || (installPassRunning_ && integrationsWanted_)) {
            davaRorLog("Integrations already installed. Call uninstallIntegrations() first.");
            return;
        }
        integrationsWanted_ = true;
        if (std::exchange(installPassRunning_, true)) {
            // Uninstalled and wanted again while a pass runs: that pass starts over.
            return;
        }
    }
    while (runInstallPass()) {
    }
}

// True when the integrations were uninstalled and wanted again while the pass ran, so it has
// to start over.
bool DavaRorSDK::runInstallPass() {
    std::uint64_t uninstallsBefore;
    {
        std::lock_guard guard(integrationsLock_);
        uninstallsBefore = uninstallCount_;
    }
    const auto config = this->config();
    for (auto& integration : config ? config->getIntegrations() : Integrations{}) {
        const auto name = typeName(*integration);
        if (integration->requiresSwizzling() && !config->enableSwizzling) {
            davaRorLog("Integration " + name +
                       " skipped. Integration requires swizzling but enableSwizzling is "
                       "disabled in config");
            continue;
        }
        try {
            integration->install(*this);
        } catch (const std::exception& error) {
            davaRorLog("Integration " + name + " failed to install: " + error.what());
            continue;
        }
        bool uninstalledMeanwhile;
        {
            std::lock_guard guard(integrationsLock_);
            uninstalledMeanwhile = uninstallCount_ != uninstallsBefore;
            if (!uninstalledMeanwhile) {
                installedIntegrations_.push_back(integration);
            }
        }
        if (uninstalledMeanwhile) {
            // Whoever uninstalled could not reach the integration that was installing.
            integration->uninstall(*this);
            davaRorLog("Integration " + name + " uninstalled");
            break;
        }
        davaRorLog("Integration " + name + " installed");
    }
    std::lock_guard guard(integrationsLock_);
    if (uninstallCount_ != uninstallsBefore && integrationsWanted_) {
        return true;
    }
    installPassRunning_ = false;
    return false;
}

void DavaRorSDK::uninstallIntegrations() {
    if (setUpInAnotherProcess()) {
        return;
    }
    Integrations installed;
    {
        std::lock_guard guard(integrationsLock_);
        integrationsWanted_ = false;
        ++uninstallCount_;
        installed = std::exchange(installedIntegrations_, {});
    }
    for (const auto& integration : installed) {
        integration->uninstall(*this);
        davaRorLog("Integration " + typeName(*integration) + " uninstalled");
    }
}

void DavaRorSDK::notifyContextDidChange() {
    if (!enabled()) {
        return;
    }
    const nlohmann::json context = {{"distinct_id", getDistinctId()},
                                    {"event_properties", eventProperties(nullptr)}};
    Integrations installed;
    {
        std::lock_guard guard(integrationsLock_);
        installed = installedIntegrations_;
    }
    for (const auto& integration : installed) {
        integration->contextDidChange(context);
    }
}
