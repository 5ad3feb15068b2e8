#include "DavaRor/DavaRorStorage.h"

#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Utils/DavaRorFiles.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/RegularFile.h"

#include <cstdlib>

namespace fs = std::filesystem;

std::string_view DavaRorStorage::rawValue(StorageKey key) {
    switch (key) {
    case StorageKey::distinctId:
        return "davaror.distinctId";
    case StorageKey::anonymousId:
        return "davaror.anonymousId";
    case StorageKey::queue:
        return "davaror.queueFolder.uuid";
    case StorageKey::replayQeueue:
        return "davaror.replayFolder";
    case StorageKey::oldQueueFolder:
        return "davaror.queueFolder";
    case StorageKey::oldQueuePlist:
        return "davaror.queue.plist";
    case StorageKey::enabledFeatureFlags:
        return "davaror.enabledFeatureFlags";
    case StorageKey::enabledFeatureFlagPayloads:
        return "davaror.enabledFeatureFlagPayloads";
    case StorageKey::flags:
        return "davaror.flags";
    case StorageKey::groups:
        return "davaror.groups";
    case StorageKey::sessionReplay:
        return "davaror.sessionReplay";
    case StorageKey::remoteConfig:
        return "davaror.remoteConfig";
    case StorageKey::requestId:
        return "davaror.requestId";
    case StorageKey::evaluatedAt:
        return "davaror.evaluatedAt";
    case StorageKey::personPropertiesForFlags:
        return "davaror.personPropertiesForFlags";
    case StorageKey::groupPropertiesForFlags:
        return "davaror.groupPropertiesForFlags";
    case StorageKey::errorTracking:
        return "davaror.errorTracking";
    case StorageKey::sentCrashReport:
        return "davaror.sentCrashReport";
    }
    return "davaror.unknown";
}

namespace {

// API keys become folder names: anything that could leave the root folder
// or name a hidden entry is escaped.
std::string folderName(std::string_view apiKey) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string name;
    for (unsigned char c : apiKey) {
        bool plain = std::isalnum(c) || c == '_' || c == '-' || (c == '.' && !name.empty());
        if (plain) {
            name.push_back(static_cast<char>(c));
        } else {
            name += {'%', digits[c >> 4], digits[c & 0x0F]};
        }
    }
    return name.empty() ? "%" : name;
}

} // namespace

fs::path DavaRorStorage::defaultRootFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return fs::path(data) / "davaror";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "/tmp") / ".local" / "share" / "davaror";
}

DavaRorStorage::DavaRorStorage(const DavaRorConfig& config)
    : DavaRorStorage(config.apiKey, defaultRootFolder()) {}

DavaRorStorage::DavaRorStorage(std::string_view apiKey, const fs::path& rootFolder)
    : appFolder_(rootFolder / folderName(apiKey)) {
    std::error_code error;
    fs::create_directories(appFolder_, error);
    if (error) {
        davaRorLog("Error trying to create storage folder " + appFolder_.string() + ": " +
                   error.message());
    }
}

fs::path DavaRorStorage::url(StorageKey key) const {
    return appFolder_ / rawValue(key);
}

// A stored file may be corrupt or replaced: only a regular file is read (a
// FIFO would block the reader), and its size and nesting are capped like any
// other JSON from outside. The client only ever writes plain files here, so a
// link in a key's place is someone else's file and is not followed.
std::optional<nlohmann::json> DavaRorStorage::getJson(StorageKey key) const {
    std::error_code error;
    const auto contents = platform::readRegularFile(url(key), maxUntrustedJsonBytes,
                                                    platform::SymbolicLinks::refuse, error);
    if (!contents) {
        return std::nullopt;
    }
    return parseUntrustedJsonOrNone(*contents);
}

void DavaRorStorage::setJson(StorageKey key, const nlohmann::json& value) const {
    std::string text;
    try {
        text = value.dump();
    } catch (const nlohmann::json::exception& error) {
        davaRorLog("Failed to write " + std::string(rawValue(key)) + ": " + error.what());
        return;
    }
    if (!platform::replaceFileAtomically(url(key), text)) {
        davaRorLog("Failed to write " + std::string(rawValue(key)) + " to " + appFolder_.string());
    }
}

std::optional<std::string> DavaRorStorage::getString(StorageKey key) const {
    auto value = getJson(key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<std::int64_t> DavaRorStorage::getInt(StorageKey key) const {
    auto value = getJson(key);
    return value ? int64Value(*value) : std::nullopt;
}

void DavaRorStorage::remove(StorageKey key) const {
    deleteSafely(url(key));
}
