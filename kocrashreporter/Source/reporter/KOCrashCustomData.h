// The host's custom data as crash-time code sees it. A new value is copied in full, then
// published with one atomic store; the value it replaces is freed only when no crash has
// started reading, since a crash that already holds it may be copying it into its report (and
// ends the process, so the old value is simply kept then). May run at crash time:
// kocrash_async_custom_data_acquire; kocrash_nasync_custom_data_publish allocates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

extern "C" {

struct kocrash_custom_data {
    // Never null for a published value, also for an empty one.
    const std::uint8_t* bytes;
    std::uint64_t length;
};

// Null when no value is set. The value stays valid for the rest of the process.
const kocrash_custom_data* kocrash_async_custom_data_acquire();

} // extern "C"

// None clears the value.
void kocrash_nasync_custom_data_publish(std::optional<std::span<const std::uint8_t>> data);
