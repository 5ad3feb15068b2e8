#include "DavaRor/ErrorTracking/DavaRorDebugImageProvider.h"

#include "DavaRor/ErrorTracking/DavaRorUUIDText.h"
#include "platform/dyld/DyldImages.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

namespace DavaRorDebugImageProvider {
namespace {

template <typename T> T readAt(const void* base, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof(value));
    return value;
}

std::optional<std::uint64_t> parseAddress(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
    }
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

nlohmann::json getDebugImagesFromExceptions(const nlohmann::json& exceptions) {
    nlohmann::json frames = nlohmann::json::array();
    if (!exceptions.is_array()) {
        return getDebugImagesForFrames(frames);
    }
    for (const auto& exception : exceptions) {
        if (!exception.is_object() || !exception.contains("stacktrace")) {
            continue;
        }
        const auto& stacktrace = exception["stacktrace"];
        if (!stacktrace.is_object() || !stacktrace.contains("frames")) {
            continue;
        }
        const auto& entries = stacktrace["frames"];
        if (entries.is_array() &&
            std::all_of(entries.begin(), entries.end(),
                        [](const auto& frame) { return frame.is_object(); })) {
            frames.insert(frames.end(), entries.begin(), entries.end());
        }
    }
    return getDebugImagesForFrames(frames);
}

nlohmann::json getDebugImagesForFrames(const nlohmann::json& frames) {
    std::set<std::string> addresses;
    for (const auto& frame : frames) {
        auto found = frame.find("image_addr");
        if (found != frame.end() && found->is_string()) {
            addresses.insert(found->get<std::string>());
        }
    }
    nlohmann::json images = nlohmann::json::array();
    if (addresses.empty()) {
        return images;
    }
    for (const auto& image : getImages(addresses)) {
        images.push_back(image.toDictionary());
    }
    return images;
}

std::vector<DavaRorBinaryImageInfo> getImages(const std::set<std::string>& addresses) {
    std::set<std::uint64_t> wanted;
    for (const auto& text : addresses) {
        if (auto address = parseAddress(text)) {
            wanted.insert(*address);
        }
    }
    std::vector<DavaRorBinaryImageInfo> images;
    if (wanted.empty()) {
        return images;
    }
    // Read while the loader's lock is held: an image removed meanwhile on another thread takes
    // its name and header with it.
    platform::dyld::forEachImage([&](const platform::dyld::ImageEntry& entry) {
        if (entry.header == nullptr) {
            return;
        }
        auto image = parseImageInfo(entry.contents, entry.slide,
                                    entry.path.empty() ? "unknown" : entry.path);
        if (image && wanted.contains(image->address)) {
            images.push_back(std::move(*image));
        }
    });
    return images;
}

std::optional<DavaRorBinaryImageInfo> parseImageInfo(const void* header, std::intptr_t slide,
                                                     const std::string& name) {
    const auto magic = readAt<std::uint32_t>(header, 0);
    const bool is64Bit = magic == MH_MAGIC_64 || magic == MH_CIGAM_64;
    const std::uint32_t commandCount = readAt<std::uint32_t>(header, 16);
    const std::uint32_t commandsSize = readAt<std::uint32_t>(header, 20);
    const std::size_t headerSize = is64Bit ? 32 : 28;

    DavaRorBinaryImageInfo info{name, std::nullopt, 0, 0, 0, std::nullopt};
    // A command that claims less than its own header, or more than the commands hold, would
    // walk in place or off the end: the walk stops there.
    std::size_t offset = 0;
    for (std::uint32_t index = 0; index < commandCount && offset + 8 <= commandsSize; ++index) {
        const void* command = static_cast<const std::uint8_t*>(header) + headerSize + offset;
        const auto type = readAt<std::uint32_t>(command, 0);
        const auto size = readAt<std::uint32_t>(command, 4);
        if (size < 8 || size > commandsSize - offset) {
            break;
        }
        if (type == LC_UUID && size >= 24) {
            info.uuid = extractUUID(command);
        } else if (type == (is64Bit ? LC_SEGMENT_64 : LC_SEGMENT) && size >= (is64Bit ? 40 : 32)) {
            if (auto text = extractTextSegment(command, is64Bit)) {
                info.vmAddress = text->first;
                info.size = text->second;
            }
        }
        if (info.uuid && info.size != 0) {
            break;
        }
        offset += size;
    }
    std::int64_t address = 0;
    if (*info.vmAddress > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_add_overflow(static_cast<std::int64_t>(*info.vmAddress),
                               static_cast<std::int64_t>(slide), &address) ||
        address < 0) {
        return std::nullopt;
    }
    info.address = static_cast<std::uint64_t>(address);
    return info;
}

std::string extractUUID(const void* command) {
    std::array<std::uint8_t, 16> bytes;
    std::memcpy(bytes.data(), static_cast<const std::uint8_t*>(command) + 8, bytes.size());
    return uuidText(bytes);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> extractTextSegment(const void* command,
                                                                          bool is64Bit) {
    char name[16];
    std::memcpy(name, static_cast<const std::uint8_t*>(command) + 8, sizeof(name));
    if (std::string_view(name, strnlen(name, sizeof(name))) != "__TEXT") {
        return std::nullopt;
    }
    if (is64Bit) {
        return std::pair{readAt<std::uint64_t>(command, 24), readAt<std::uint64_t>(command, 32)};
    }
    return std::pair<std::uint64_t, std::uint64_t>{readAt<std::uint32_t>(command, 24),
                                                   readAt<std::uint32_t>(command, 28)};
}

} // namespace DavaRorDebugImageProvider
