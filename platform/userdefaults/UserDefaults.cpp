#include "platform/userdefaults/UserDefaults.h"

#include "platform/bundle/Bundle.h"
#include "platform/core/AtomicFile.h"
#include "platform/core/RegularFile.h"
#include "platform/core/UntrustedJsonLimits.h"

#include <cstdlib>
#include <limits>

namespace platform {
namespace {

// The parser refuses ill-formed UTF-8 that the writer replaces: a round trip
// through a JSON string reads every bad byte as U+FFFD, as it was written.
std::string withIllFormedUtf8Replaced(std::string text) {
    const auto literal = nlohmann::json(std::move(text))
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(literal).get<std::string>();
}

struct OverTheLimits {};

// None for text that is no JSON or breaks the limits of JSON from outside:
// the file may be damaged or planted, a value nested deep enough overflows
// the stack of whoever copies or writes it, and a file of empty arrays takes
// gigabytes once parsed.
std::optional<nlohmann::json> parseWithinLimits(std::string text) {
    std::size_t values = 0;
    const auto refuseOverLimits = [&values](int enclosing, nlohmann::json::parse_event_t event,
                                            nlohmann::json&) {
        using Event = nlohmann::json::parse_event_t;
        const bool opens = event == Event::object_start || event == Event::array_start;
        if (opens && static_cast<std::size_t>(enclosing) >= maxUntrustedJsonDepth) {
            throw OverTheLimits{};
        }
        if ((opens || event == Event::key || event == Event::value) &&
            ++values > maxUntrustedJsonValues) {
            throw OverTheLimits{};
        }
        return true;
    };
    try {
        return nlohmann::json::parse(withIllFormedUtf8Replaced(std::move(text)), refuseOverLimits);
    } catch (const OverTheLimits&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

struct LoadedFile {
    nlohmann::json values = nlohmann::json::object();
    UserDefaults::StoredFile stored = UserDefaults::StoredFile::usable;
};

// Followed through a link: a configuration file is often one kept elsewhere.
LoadedFile loadFile(const std::filesystem::path& file) {
    std::error_code error;
    auto contents = readRegularFile(file, maxUntrustedJsonBytes, SymbolicLinks::follow, error);
    if (!contents) {
        // Nothing stored there, when no file can be there yet either.
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            return {};
        }
        if (error == std::errc::file_too_large) {
            return {.stored = UserDefaults::StoredFile::unparsable};
        }
        return {.stored = UserDefaults::StoredFile::unreadable};
    }
    auto parsed = parseWithinLimits(std::move(*contents));
    if (!parsed || !parsed->is_object()) {
        return {.stored = UserDefaults::StoredFile::unparsable};
    }
    return {std::move(*parsed)};
}

// The first of "<file>.corrupt", "<file>.corrupt-2", ... that is free, so
// that no earlier copy is lost either.
std::filesystem::path freeCorruptCopyPath(const std::filesystem::path& file) {
    for (int number = 1;; ++number) {
        auto copy = file;
        copy += number == 1 ? ".corrupt" : ".corrupt-" + std::to_string(number);
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(copy, error))) {
            return copy;
        }
    }
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

// A file the user linked from elsewhere stays linked: what a write replaces,
// or keeps aside when it cannot be parsed, is the file the link names.
std::filesystem::path linkTarget(std::filesystem::path file) {
    // As many links as the kernel follows in one path before it gives up.
    for (int followed = 0; followed < 40; ++followed) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(file, error))) {
            break;
        }
        std::filesystem::path target = std::filesystem::read_symlink(file, error);
        if (error) {
            break;
        }
        file = target.is_relative() ? file.parent_path() / target : target;
    }
    return file;
}

} // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    auto loaded = loadFile(file_);
    values_ = std::move(loaded.values);
    stored_ = loaded.stored;
}

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

bool UserDefaults::storedValuesKnown() const {
    std::lock_guard lock(mutex_);
    return stored_ != StoredFile::unreadable;
}

void UserDefaults::writeLocked() {
    unwritten_ = true;
    if (stored_ == StoredFile::unreadable) {
        return;
    }
    const std::filesystem::path written = linkTarget(file_);
    if (stored_ == StoredFile::unparsable) {
        std::error_code error;
        std::filesystem::rename(written, freeCorruptCopyPath(written), error);
        if (error && error != std::errc::no_such_file_or_directory) {
            return;
        }
        stored_ = StoredFile::usable;
    }
    // A text that is not UTF-8 would make the dump throw; replacing its bad
    // bytes keeps every other value writable.
    unwritten_ = !replaceFileAtomically(
        written, values_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace platform
