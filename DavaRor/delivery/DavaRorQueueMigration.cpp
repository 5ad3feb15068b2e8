#include "DavaRor/delivery/DavaRorQueueMigration.h"

#include "DavaRor/Utils/DavaRorDates.h"
#include "DavaRor/Utils/DavaRorFiles.h"
#include "DavaRor/Utils/DavaRorLog.h"
#include "DavaRor/Utils/DavaRorUntrustedJSON.h"
#include "DavaRor/delivery/DavaRorEventFileContents.h"
#include "DavaRor/delivery/DavaRorQueueFiles.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

using davaror::apiDateFormatter;

namespace fs = std::filesystem;

namespace {

// Seconds since 1970 in the shortest decimal text that reads back as the same
// double, always with a fraction: "1704164645.678", "1704164645.0".
std::string secondsText(double seconds) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

// Whole seconds and the fraction are converted apart: a nanosecond count is
// too large for a double, and rounding it first would turn .678 into .6779998.
double secondsSince1970(DavaRorDate time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto whole = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    return static_cast<double>(whole.count()) +
           std::chrono::duration<double>(sinceEpoch - whole).count();
}

// Two legacy events can share a millisecond (or both lack a time), so the file
// is created exclusively; on a clash the name moves to the next larger double,
// which keeps the names in time order and never overwrites an event.
std::error_code writeUnderFreshName(const fs::path& queue, DavaRorDate eventTime,
                                    std::string_view contents, fs::path& written) {
    double seconds = secondsSince1970(eventTime);
    for (;;) {
        written = queue / secondsText(seconds);
        const auto error =
            writeQueueFile(AT_FDCWD, written, contents, DavaRorFileCreation::failIfExists);
        if (error != std::errc::file_exists) {
            return error;
        }
        seconds = std::nextafter(seconds, std::numeric_limits<double>::infinity());
    }
}

// The store orders files by modification time, then by name. Files written
// now would share the coarse file time with the first events queued after the
// migration, and their names sort after version-7 names, so a later listing
// would put them behind those newer events. Dating each file at its event,
// and at least a second before the migration (further than the coarse file
// clock can lag), keeps the legacy events ahead.
void dateAtEventTime(const fs::path& file, DavaRorDate eventTime, DavaRorDate migrationTime) {
    std::error_code ignored;
    const auto latest = migrationTime - std::chrono::seconds(1);
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(std::min(eventTime, latest)),
                        ignored);
}

// A legacy file is read under limits: a damaged one nested deep enough would
// overflow the stack and crash every launch, as the file is only deleted after
// this attempt. Its events may nest as deep as a stored event, one level
// inside the array. The size limit is that of a whole legacy queue (1000
// events averaging up to 32 KiB), not that of one event: a legacy file over
// the limit of one event file is no sign of damage, and refusing it would lose
// every event in it; its number of values grows with its size. Each event must
// still keep the limits of an event file.
constexpr DavaRorJsonLimits legacyQueueLimits{32 * 1024 * 1024, maxUntrustedJsonDepth + 1,
                                              4 * maxUntrustedJsonValues};

// False when the legacy file is to stay: the process may not read it, which
// says nothing of its events.
bool migrateEvents(const fs::path& queue, const fs::path& oldQueue) {
    std::error_code error;
    const auto contents = readQueueFile(oldQueue, legacyQueueLimits.maxBytes, error);
    if (!contents) {
        davaRorLog("Failed to migrate queue " + error.message());
        return error != std::errc::permission_denied && error != std::errc::operation_not_permitted;
    }
    nlohmann::json events;
    try {
        events = parseUntrustedJson(*contents, legacyQueueLimits);
    } catch (const std::exception& parseError) {
        davaRorLog(std::string("Failed to migrate queue ") + parseError.what());
        return true;
    }
    if (!events.is_array()) {
        davaRorLog("Failed to migrate queue: invalid data format");
        return true;
    }
    const DavaRorDate migrationTime = std::chrono::system_clock::now();
    for (const auto& event : events) {
        if (!event.is_object()) {
            continue;
        }
        const auto timestamp = event.find("timestamp");
        const std::string timeText =
            timestamp != event.end() && timestamp->is_string()
                ? timestamp->get<std::string>()
                : apiDateFormatter.string(std::chrono::system_clock::now());
        const DavaRorDate eventTime =
            apiDateFormatter.date(timeText).value_or(std::chrono::system_clock::now());
        std::string serialised;
        try {
            serialised = event.dump();
        } catch (const nlohmann::json::exception& serialiseError) {
            davaRorLog(std::string("Failed to migrate queue ") + serialiseError.what());
            return true;
        }
        std::string violation;
        const auto checked = DavaRorEventFileContents::check(std::move(serialised), violation);
        if (!checked) {
            davaRorLog("Failed to migrate an event over the limits of stored events: " + violation);
            continue;
        }
        fs::path written;
        if (const auto writeError =
                writeUnderFreshName(queue, eventTime, checked->text(), written)) {
            davaRorLog("Failed to migrate queue " + writeError.message());
            return true;
        }
        dateAtEventTime(written, eventTime, migrationTime);
    }
    return true;
}

} // namespace

void migrateOldQueueFolder(const fs::path& queue, const fs::path& oldQueueFolder) {
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator entry(oldQueueFolder, error), end; !error && entry != end;
         entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    if (error) {
        davaRorLog("Failed to read queue folder " + error.message());
    }
    for (const auto& name : names) {
        std::error_code moveError;
        fs::rename(oldQueueFolder / name, queue / name, moveError);
        if (moveError) {
            davaRorLog("Failed to migrate file " + name + ": " + moveError.message());
        }
    }
    deleteSafely(oldQueueFolder);
}

void migrateOldQueue(const fs::path& queue, const fs::path& oldQueue) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(oldQueue, error))) {
        return;
    }
    if (migrateEvents(queue, oldQueue)) {
        deleteSafely(oldQueue);
    }
}
