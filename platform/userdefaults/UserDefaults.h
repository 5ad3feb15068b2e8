#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An application's user defaults: a string-keyed dictionary kept in one JSON
// file. Every change is written through at once (atomically, so a crash
// leaves the old or the new file); a write that fails is retried by the next
// change or by `synchronize`. Getters are typed: a value of another type
// reads as none, never as a converted value.
class UserDefaults {
public:
    // Loads `file`; a missing or unreadable file starts empty and is replaced
    // by the first change.
    explicit UserDefaults(std::filesystem::path file);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The application's defaults, in "<config home>/<bundle identifier>.json"
    // (the executable name when no identifier is set), where the config home
    // is $XDG_CONFIG_HOME or ~/.config. The path is fixed at first use, so
    // the application sets its bundle identifier before.
    static UserDefaults& standard();
    static std::filesystem::path standardFilePath();

    const std::filesystem::path& filePath() const { return file_; }

    std::optional<nlohmann::json> objectForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<std::int64_t> integerForKey(std::string_view key) const;
    // Integers read as doubles too.
    std::optional<double> doubleForKey(std::string_view key) const;
    std::optional<bool> boolForKey(std::string_view key) const;

    void setObject(std::string key, nlohmann::json value);
    void setString(std::string key, std::string value);
    void setInteger(std::string key, std::int64_t value);
    void setDouble(std::string key, double value);
    void setBool(std::string key, bool value);
    void removeObjectForKey(std::string_view key);

    // Writes any change that has not reached the file yet; true when the
    // file holds every change.
    bool synchronize();

private:
    void writeLocked();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json values_;
    bool unwritten_ = false;
};

} // namespace platform
