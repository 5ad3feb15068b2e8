#include "platform/userdefaults/UserDefaults.h"

#include "platform/bundle/Bundle.h"
#include "platform/core/AtomicFile.h"

#include <cstdlib>
#include <fstream>
#include <limits>

namespace platform {
namespace {

nlohmann::json loadObject(const std::filesystem::path& file) {
    std::ifstream stream(file);
    if (!stream) {
        return nlohmann::json::object();
    }
    auto parsed = nlohmann::json::parse(stream, nullptr, /*allow_exceptions=*/false);
    return parsed.is_object() ? parsed : nlohmann::json::object();
}

std::filesystem::path configHome() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        return config;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/tmp") / ".config";
}

// Bundle identifiers are set by the application; keep them inside the config
// folder whatever they hold.
std::string domainFileName(std::string domain) {
    for (char& c : domain) {
        if (c == '/') {
            c = '_';
        }
    }
    if (domain.empty() || domain.front() == '.') {
        domain = "_" + domain;
    }
    return domain + ".json";
}

} // namespace

UserDefaults::UserDefaults(std::filesystem::path file)
    : file_(std::move(file)), values_(loadObject(file_)) {}

std::filesystem::path UserDefaults::standardFilePath() {
    auto domain = Bundle::main().bundleIdentifier();
    if (!domain) {
        auto executable = Bundle::main().objectForInfoDictionaryKey(kCFBundleExecutableKey);
        domain = executable && executable->is_string() ? executable->get<std::string>() : "";
    }
    return configHome() / domainFileName(*domain);
}

UserDefaults& UserDefaults::standard() {
    // Never released: code running on other threads at exit may still ask.
    static UserDefaults* const defaults = new UserDefaults(standardFilePath());
    return *defaults;
}

std::optional<nlohmann::json> UserDefaults::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<std::int64_t> UserDefaults::integerForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->is_number_integer()) {
        return std::nullopt;
    }
    // Unsigned values beyond the signed range do not fit the result.
    if (value->is_number_unsigned() &&
        value->get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    return value->get<std::int64_t>();
}

std::optional<double> UserDefaults::doubleForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->is_number()) {
        return std::nullopt;
    }
    return value->get<double>();
}

std::optional<bool> UserDefaults::boolForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

void UserDefaults::setObject(std::string key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    values_[std::move(key)] = std::move(value);
    writeLocked();
}

void UserDefaults::setString(std::string key, std::string value) {
    setObject(std::move(key), std::move(value));
}

void UserDefaults::setInteger(std::string key, std::int64_t value) {
    setObject(std::move(key), value);
}

void UserDefaults::setDouble(std::string key, double value) {
    setObject(std::move(key), value);
}

void UserDefaults::setBool(std::string key, bool value) {
    setObject(std::move(key), value);
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
        return;
    }
    values_.erase(found);
    writeLocked();
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    if (unwritten_) {
        writeLocked();
    }
    return !unwritten_;
}

void UserDefaults::writeLocked() {
    // A text that is not UTF-8 would make the dump throw; replacing its bad
    // bytes keeps every other value writable.
    unwritten_ = !replaceFileAtomically(
        file_, values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace platform
