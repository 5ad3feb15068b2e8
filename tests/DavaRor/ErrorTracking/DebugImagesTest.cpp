// Debug images of registered images read from their Mach-O headers: UUID and __TEXT present or
// missing, address texts of either case, and a slide that would carry the image out of the
// address space; images and frames read while another thread removes their image.
#include "DavaRor/ErrorTracking/DavaRorAddresses.h"
#include "DavaRor/ErrorTracking/DavaRorDebugImageProvider.h"
#include "DavaRor/ErrorTracking/DavaRorExceptionProcessor.h"
#include "DavaRor/ErrorTracking/DavaRorStackTraceProcessor.h"
#include "platform/dyld/DyldImages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

// A header with an optional LC_UUID of sixteen 0xAB bytes and an optional __TEXT segment,
// registered with the loader while it lives.
class RegisteredHeader {
public:
    RegisteredHeader(const std::string& path, std::intptr_t slide, bool withUUID,
                     std::optional<std::pair<std::uint64_t, std::uint64_t>> text) {
        mach_header_64 header{};
        header.magic = MH_MAGIC_64;
        append(header);
        if (withUUID) {
            uuid_command uuid{LC_UUID, sizeof(uuid_command), {}};
            std::memset(uuid.uuid, 0xAB, sizeof(uuid.uuid));
            append(uuid);
            ++commands_;
        }
        if (text) {
            segment_command_64 segment{};
            segment.cmd = LC_SEGMENT_64;
            segment.cmdsize = sizeof(segment);
            std::memcpy(segment.segname, "__TEXT", 7);
            segment.vmaddr = text->first;
            segment.vmsize = text->second;
            segment.initprot = VM_PROT_READ_EXECUTE;
            append(segment);
            ++commands_;
        }
        auto* patched = reinterpret_cast<mach_header_64*>(bytes_.data());
        patched->ncmds = commands_;
        patched->sizeofcmds = static_cast<std::uint32_t>(size_ - sizeof(mach_header_64));
        platform::dyld::addImage(header_(), slide, path);
    }
    ~RegisteredHeader() { platform::dyld::removeImage(header_()); }

private:
    template <typename T> void append(const T& record) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(bytes_.data()) + size_, &record,
                    sizeof(record));
        size_ += sizeof(record);
    }
    const mach_header* header_() const {
        return reinterpret_cast<const mach_header*>(bytes_.data());
    }

    std::vector<std::uint64_t> bytes_ = std::vector<std::uint64_t>(64);
    std::size_t size_ = 0;
    std::uint32_t commands_ = 0;
};

json framesAt(std::initializer_list<std::string> imageAddresses) {
    json frames = json::array();
    for (const auto& address : imageAddresses) {
        frames.push_back({{"instruction_addr", address}, {"image_addr", address}});
    }
    return frames;
}

TEST(DebugImages, HeadersGiveUUIDTextAndSizeOrLeaveThemOut) {
    RegisteredHeader complete("/opt/app/Complete", 0x40000, true, std::pair{0x1000, 0x2000});
    RegisteredHeader bare("/opt/app/Bare", 0x50000, false, std::nullopt);
    RegisteredHeader nameless("", 0x58000, false, std::nullopt);
    RegisteredHeader wrapping("/opt/app/Wrapping", 0x10000, true,
                              std::pair{0x7FFFFFFFFFFFF000, 0x1000});

    const json images = DavaRorDebugImageProvider::getDebugImagesForFrames(
        framesAt({"0x0000000000041000", "0X0000000000041000", "0x41000", "0x0000000000050000",
                  addressText(0x7FFFFFFFFFFFF000u + 0x10000u), "not an address", "0x", "0x58000"}));
    ASSERT_EQ(images.size(), 3u) << images.dump();
    EXPECT_EQ(images[0], (json{{"type", "macho"},
                               {"code_file", "/opt/app/Complete"},
                               {"image_addr", "0x0000000000041000"},
                               {"image_size", 0x2000},
                               {"debug_id", "ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB"},
                               {"image_vmaddr", "0x0000000000001000"}}));
    EXPECT_EQ(images[1], (json{{"type", "macho"},
                               {"code_file", "/opt/app/Bare"},
                               {"image_addr", "0x0000000000050000"},
                               {"image_size", 0}}));
    EXPECT_EQ(images[2]["code_file"], "unknown");
}

TEST(DebugImages, ACommandThatClaimsMoreThanTheCommandsHoldEndsTheWalk) {
    struct {
        mach_header_64 header;
        load_command command;
    } image{};
    image.header.magic = MH_MAGIC_64;
    image.header.ncmds = 2;
    image.header.sizeofcmds = sizeof(load_command);
    image.command = {LC_SEGMENT_64, 0x7FFFFFF0};
    const auto info = DavaRorDebugImageProvider::parseImageInfo(&image, 0x1000, "/opt/app/Broken");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->toDictionary(), (json{{"type", "macho"},
                                          {"code_file", "/opt/app/Broken"},
                                          {"image_addr", "0x0000000000001000"},
                                          {"image_size", 0}}));
}

// An image registered and removed over and over on a thread of its own, its header and name on
// the heap so that they are freed once it is removed.
class ComingAndGoing {
public:
    static constexpr const char* kPath =
        "/opt/app/PlugIns/Comes and goes while the images are read";

    ComingAndGoing()
        : thread_([this] {
              while (!done_.load()) {
                  auto image = std::make_unique<RegisteredHeader>(kPath, 0x60000, true,
                                                                  std::pair{0x1000, 0x2000});
              }
          }) {}
    ~ComingAndGoing() {
        done_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

constexpr int kRounds = 2000;

TEST(DebugImages, AnImageRemovedOnAnotherThreadIsReadWholeOrNotAtAll) {
    const json whole = {{"type", "macho"},
                        {"code_file", ComingAndGoing::kPath},
                        {"image_addr", "0x0000000000061000"},
                        {"image_size", 0x2000},
                        {"debug_id", "ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB"},
                        {"image_vmaddr", "0x0000000000001000"}};
    ComingAndGoing image;
    for (int round = 0; round < kRounds; ++round) {
        const json images =
            DavaRorDebugImageProvider::getDebugImagesForFrames(framesAt({"0x61000"}));
        ASSERT_LE(images.size(), 1u);
        if (!images.empty()) {
            ASSERT_EQ(images[0], whole) << "round " << round;
        }
    }
}

TEST(DebugImages, AFrameInAnImageRemovedOnAnotherThreadIsNamedWholeOrDropped) {
    DavaRorErrorTrackingConfig config;
    ComingAndGoing image;
    for (int round = 0; round < kRounds; ++round) {
        const auto frames =
            DavaRorStackTraceProcessor::symbolicateAddresses({0x61010}, config, false);
        ASSERT_LE(frames.size(), 1u);
        if (!frames.empty()) {
            ASSERT_EQ(frames[0].package, ComingAndGoing::kPath) << "round " << round;
        }
    }
}

TEST(DebugImages, FramesWithoutImagesAttachNoImages) {
    const json entries = {
        {{"type", "A"}, {"stacktrace", {{"frames", {{{"instruction_addr", "0x10"}}}}}}}};
    json properties = {{"k", 1}};
    DavaRorExceptionProcessor::attachExceptionsAndDebugImages(json::array(), properties);
    EXPECT_EQ(properties, (json{{"k", 1}})) << "an empty list touches nothing";
    DavaRorExceptionProcessor::attachExceptionsAndDebugImages(entries, properties);
    EXPECT_EQ(properties, (json{{"k", 1}, {"$exception_list", entries}}));
}

} // namespace
