#include "DavaRor/Utils/DavaRorUntrustedJSON.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST(UntrustedJSON, NestingIsCappedAndBracketsInsideTextsDoNotCount) {
    EXPECT_TRUE(parseUntrustedJsonOrNone(nested(maxUntrustedJsonDepth)));
    EXPECT_THROW(parseUntrustedJson(nested(maxUntrustedJsonDepth + 1)), DavaRorJsonLimitError);
    // Escaped quotes do not end a text early, so its brackets stay uncounted.
    const std::string text = R"({"a": "\"[[[[[[[[)" + std::string(300, '{') + R"("})";
    EXPECT_EQ(parseUntrustedJson(text)["a"].get<std::string>().size(), 309u);
    // An escaped backslash does not escape the quote after it: the text ends.
    EXPECT_THROW(parseUntrustedJson(R"(["\\", )" + nested(maxUntrustedJsonDepth) + "]"),
                 DavaRorJsonLimitError);
    // Unbalanced closers cannot hide an opener from the count.
    EXPECT_FALSE(parseUntrustedJsonOrNone("]]]]" + nested(maxUntrustedJsonDepth + 1)));
}

// Empty and filled arrays and objects, members' names, commas and colons inside
// texts: exactly the limit's number of values passes, one more is refused.
TEST(UntrustedJSON, ValuesAreCountedExactlyAndCapped) {
    const std::string text = R"({"a,b": [1, "x:y", [], {}], "c": {"d": null}, "e": [[true]]})";
    EXPECT_EQ(
        parseUntrustedJson(text, {maxUntrustedJsonBytes, maxUntrustedJsonDepth, 15})["a,b"][1],
        "x:y");
    EXPECT_THROW(parseUntrustedJson(text, {maxUntrustedJsonBytes, maxUntrustedJsonDepth, 14}),
                 DavaRorJsonLimitError);
    std::string emptyArrays = "[";
    for (std::size_t i = 1; i < maxUntrustedJsonValues; ++i) {
        emptyArrays += "[],";
    }
    EXPECT_THROW(parseUntrustedJson(emptyArrays + "[]]"), DavaRorJsonLimitError);
}

TEST(UntrustedJSON, SizeEncodingAndSyntaxFailuresAreRefused) {
    EXPECT_THROW(parseUntrustedJson(std::string(maxUntrustedJsonBytes + 1, ' ')),
                 DavaRorJsonLimitError);
    EXPECT_THROW(parseUntrustedJson("\"\xc3\x28\""), json::parse_error);
    EXPECT_FALSE(parseUntrustedJsonOrNone("{\"a\": 1"));
    EXPECT_EQ(parseUntrustedJson("true"), json(true)) << "bare fragments are JSON too";
}
