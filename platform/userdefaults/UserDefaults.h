#pragma once

#include "platform/core/ForkSafeMutex.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An application's user defaults: a string-keyed dictionary kept in one
// compact JSON file. Every change is written through at once (atomically, so
// a crash leaves the old or the new file); a write that fails is retried by
// the next change or by `synchronize`. Getters are typed: a value of another
// type reads as none, never as a converted value.
class UserDefaults {
public:
    // What was found at the path when the defaults were loaded.
    enum class StoredFile {
        // A file of defaults, or none yet.
        usable,
        // Something that cannot be read (no access, not a regular file): it
        // is never replaced, and changes stay in memory.
        unreadable,
        // A file that is no JSON object within the limits of JSON from
        // outside: the first change renames it to "<file>.corrupt" (or
        // ".corrupt-2" and so on, when that is taken) and writes a new one.
        unparsable,
    };

    // Loads `file`, a regular file or a link to one; the defaults start
    // empty when it is missing, unreadable or unparsable. Ill-formed UTF-8
    // in a text reads as U+FFFD.
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

    // False when a file was there but could not be read: what it holds is
    // unknown, not absent.
    bool storedValuesKnown() const;

private:
    void writeLocked();

    const std::filesystem::path file_;
    mutable platform::ForkSafeMutex mutex_;
    nlohmann::json values_;
    StoredFile stored_ = StoredFile::usable;
    bool unwritten_ = false;
};

} // namespace platform
