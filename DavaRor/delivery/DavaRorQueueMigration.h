// Takes over the event queues of older releases: a folder of event files, and
// a single file holding a JSON array of events (JSON despite its ".plist" name).
#pragma once

#include <filesystem>

// Moves every file of `oldQueueFolder` into `queue`, then deletes the old folder.
void migrateOldQueueFolder(const std::filesystem::path& queue,
                           const std::filesystem::path& oldQueueFolder);

// Writes each event object of the array in `oldQueue` as its own file in
// `queue`, named by the event time in seconds, then deletes `oldQueue`. An
// event the store could not read back (over the limits of untrusted JSON) is
// logged and skipped; the others are still written.
void migrateOldQueue(const std::filesystem::path& queue, const std::filesystem::path& oldQueue);
