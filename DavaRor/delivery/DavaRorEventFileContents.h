// The text of one event file, checked against the limits under which the
// store reads its files back. The store writes nothing else, so it never
// writes an event it would later throw away as corrupted: an event over the
// limits is refused when it is queued, where the refusal can be logged as
// such.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

class DavaRorEventFileContents {
public:
    // The text, or none when it breaks the limits; then `violation` says how.
    // One pass over the text, which the caller has serialised already.
    static std::optional<DavaRorEventFileContents> check(std::string text, std::string& violation);

    std::string_view text() const { return text_; }

private:
    explicit DavaRorEventFileContents(std::string text) : text_(std::move(text)) {}

    std::string text_;
};
