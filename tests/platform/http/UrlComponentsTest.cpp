// Splitting and rebuilding addresses, as the API client does with its host.
#include "platform/http/UrlComponents.h"

#include <gtest/gtest.h>

namespace {

using platform::http::UrlComponents;

TEST(UrlComponents, RoundTripsWhatItParses) {
    for (const char* text : {"https://ingest.davaror.example", "https://ingest.davaror.example/",
                             "http://127.0.0.1:8080/ingest/?a=1#top", "https://u:p@h.example/a%20b",
                             "https://[::1]:9/x"}) {
        const auto components = UrlComponents::parse(text);
        ASSERT_TRUE(components) << text;
        EXPECT_EQ(components->string(), text);
    }
}

TEST(UrlComponents, RefusesTextAnAddressCannotHold) {
    for (const char* text :
         {"https://host.example/a b", "https://host.example/%zz", "https://host.example/%4",
          "https://h\xc3\xa9.example", "http://h\n/"}) {
        EXPECT_FALSE(UrlComponents::parse(text)) << text;
    }
}

TEST(UrlComponents, PathIsDecodedAndReEncoded) {
    auto components = UrlComponents::parse("https://h.example/a%20b/");
    ASSERT_TRUE(components);
    EXPECT_EQ(components->path(), "/a b/");
    components->setPath(components->path() + "batch?#");
    EXPECT_EQ(components->string(), "https://h.example/a%20b/batch%3F%23");
}

TEST(UrlComponents, QueryItemsReplaceTheQuery) {
    auto components = UrlComponents::parse("https://h.example/flags?old=1");
    ASSERT_TRUE(components);
    components->setQueryItems({{"v", "2"}, {"a b", "c&d=e"}});
    EXPECT_EQ(components->string(), "https://h.example/flags?v=2&a%20b=c%26d%3De");
    components->setQueryItems({});
    EXPECT_EQ(components->string(), "https://h.example/flags");
}

TEST(UrlComponents, RelativePathAfterAHostFormsNoAddress) {
    auto components = UrlComponents::parse("https://h.example");
    ASSERT_TRUE(components);
    components->setPath("batch");
    EXPECT_FALSE(components->string());
    auto hostless = UrlComponents::parse("file:");
    ASSERT_TRUE(hostless);
    hostless->setPath("//x");
    EXPECT_FALSE(hostless->string());
}

} // namespace
