#include "CrashReportMessages.h"
#include "KOCrashReport.h"
#include "KOCrashReportTextFormatter.h"
#include "WriterPacking.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

std::string golden(const std::string& name) {
    std::ifstream file(std::string(KOCRASH_REPORT_TEST_DIR) + "/golden/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct RoundTrip {
    const char* golden;
    Kocrash__CrashReport* (*fixture)(CrashReportMessages&);
};

// The crash-time encoder and protobuf-c agree byte for byte on whole reports, so what the
// writer produces decodes to the same report and prints the same text.
TEST(KOCrashReportWriterRoundTrip, EncoderFilesDecodeLikeProtobufCFiles) {
    const RoundTrip cases[] = {
        {"arm64.txt", fullARM64Report},
        {"minimal.txt", minimalReport},
        {"arm32.txt", arm32Report},
        {"exception.txt", exceptionReport},
    };
    for (const auto& roundTrip : cases) {
        SCOPED_TRACE(roundTrip.golden);
        CrashReportMessages messages;
        const Kocrash__CrashReport* message = roundTrip.fixture(messages);
        const auto byWriter = packReportWithWriter(&message->base);
        const auto byProtobufC = packWithProtobufC(message);
        EXPECT_EQ(byWriter, byProtobufC);

        std::optional<KOError> error;
        const auto fromWriter = KOCrashReport::initWithData(byWriter, &error);
        ASSERT_TRUE(fromWriter.has_value()) << error->localizedDescription();
        const auto fromProtobufC = KOCrashReport::initWithData(byProtobufC, &error);
        ASSERT_TRUE(fromProtobufC.has_value());
        EXPECT_EQ(*fromWriter, *fromProtobufC);
        EXPECT_EQ(KOCrashReportTextFormatter::stringValueForCrashReport(
                      *fromWriter, KOCrashReportTextFormat::Standard),
                  golden(roundTrip.golden));
    }
}

} // namespace
