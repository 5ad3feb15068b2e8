#pragma once

#include "platform/core/Export.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

class DavaRorConfig;

// The client's persistent key-value store: one JSON file per key in a folder
// per API key. Files are replaced atomically, so a crash never leaves a torn
// identity or flags file.
class DAVAROR_EXPORT DavaRorStorage {
public:
    enum class StorageKey {
        distinctId,
        anonymousId,
        queue,
        replayQeueue,
        oldQueueFolder,
        oldQueuePlist,
        enabledFeatureFlags,
        enabledFeatureFlagPayloads,
        flags,
        groups,
        sessionReplay,
        remoteConfig,
        requestId,
        evaluatedAt,
        personPropertiesForFlags,
        groupPropertiesForFlags,
        errorTracking,
        sentCrashReport,
    };

    static std::string_view rawValue(StorageKey key);

    // The folder for the configuration's API key under defaultRootFolder().
    explicit DavaRorStorage(const DavaRorConfig& config);
    DavaRorStorage(std::string_view apiKey, const std::filesystem::path& rootFolder);

    // "$XDG_DATA_HOME/davaror", else "$HOME/.local/share/davaror".
    static std::filesystem::path defaultRootFolder();

    const std::filesystem::path& appFolderUrl() const { return appFolder_; }
    std::filesystem::path url(StorageKey key) const;

    std::optional<nlohmann::json> getJson(StorageKey key) const;
    void setJson(StorageKey key, const nlohmann::json& value) const;
    std::optional<std::string> getString(StorageKey key) const;
    std::optional<std::int64_t> getInt(StorageKey key) const;
    void remove(StorageKey key) const;

private:
    std::filesystem::path appFolder_;
};
