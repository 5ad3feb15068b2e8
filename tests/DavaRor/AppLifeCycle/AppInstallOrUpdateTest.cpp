#include "DavaRor/AppLifeCycle/AppInstallOrUpdate.h"
#include "support/DavaRorLogCapture.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdint>

using davaror::AppInstallOrUpdateCheck;
using davaror::AppLifecycleEvent;
using davaror::AppVersionInfo;
using davaror::currentAppVersion;
using davaror::numberIfItParses;

namespace fs = std::filesystem;
using nlohmann::json;

TEST(NumberIfItParses, SignedDecimalIntegersBecomeNumbersEverythingElseStaysText) {
    const std::pair<const char*, json> numbers[] = {
        {"+7", 7}, {"-3", -3}, {"007", 7}, {"-9223372036854775808", INT64_MIN}};
    for (const auto& [text, expected] : numbers) {
        EXPECT_EQ(numberIfItParses(text), expected) << text;
    }
    for (const char* text :
         {"9223372036854775808", "-9223372036854775809", "12a", "+", "", " 7", "+-7", "0x10"}) {
        EXPECT_EQ(numberIfItParses(text), json(text)) << text;
    }
}

namespace {

class AppInstallOrUpdateTest : public ::testing::Test {
protected:
    testsupport::TemporaryDirectory temporary;
    const fs::path file = temporary.path() / "defaults.json";
    testsupport::DavaRorLogCapture log;
};

struct Row {
    const char* name;
    json stored;
    AppVersionInfo current;
    std::optional<AppLifecycleEvent> expected;
    json storedAfter; // null: the file is left exactly as it was
};

} // namespace

TEST_F(AppInstallOrUpdateTest, DecidesTheEventAndStoresTheCurrentVersionAndBuild) {
    const json empty = json::object();
    const Row rows[] = {
        {"first launch",
         empty,
         {"1.0", "42"},
         AppLifecycleEvent{"Application Installed", {{"version", "1.0"}, {"build", 42}}},
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "42"}}},
        {"numeric update",
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "41"}},
         {"1.1", "42"},
         AppLifecycleEvent{"Application Updated",
                           {{"previous_version", "1.0"},
                            {"previous_build", 41},
                            {"version", "1.1"},
                            {"build", 42}}},
         {{"ZOZVersionKey", "1.1"}, {"ZOZBuildKeyV2", "42"}}},
        {"text to signed",
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "1.2.3"}},
         {"2.0", "+7"},
         AppLifecycleEvent{"Application Updated",
                           {{"previous_version", "1.0"},
                            {"previous_build", "1.2.3"},
                            {"version", "2.0"},
                            {"build", 7}}},
         {{"ZOZVersionKey", "2.0"}, {"ZOZBuildKeyV2", "+7"}}},
        {"negative to empty",
         {{"ZOZBuildKeyV2", "-3"}},
         {std::nullopt, ""},
         AppLifecycleEvent{"Application Updated", {{"previous_build", -3}, {"build", ""}}},
         {{"ZOZBuildKeyV2", ""}}},
        {"overflow stays text",
         {{"ZOZBuildKeyV2", "9223372036854775808"}},
         {"3.0", "9223372036854775807"},
         AppLifecycleEvent{
             "Application Updated",
             {{"previous_build", "9223372036854775808"}, {"version", "3.0"}, {"build", INT64_MAX}}},
         {{"ZOZVersionKey", "3.0"}, {"ZOZBuildKeyV2", "9223372036854775807"}}},
        {"equal builds",
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "42"}},
         {"2.0", "42"},
         std::nullopt,
         nullptr},
        {"stored version without build",
         {{"ZOZVersionKey", "0.9"}},
         {"1.0", "10"},
         AppLifecycleEvent{"Application Installed", {{"version", "1.0"}, {"build", 10}}},
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "10"}}},
        {"current build missing",
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "41"}},
         {"1.1", std::nullopt},
         AppLifecycleEvent{
             "Application Updated",
             {{"previous_version", "1.0"}, {"previous_build", 41}, {"version", "1.1"}}},
         {{"ZOZVersionKey", "1.1"}, {"ZOZBuildKeyV2", "41"}}},
        {"nothing known",
         empty,
         {std::nullopt, std::nullopt},
         AppLifecycleEvent{"Application Installed", json::object()},
         nullptr},
        {"stored build is no text",
         {{"ZOZBuildKeyV2", 41}},
         {"1.0", "42"},
         AppLifecycleEvent{"Application Installed", {{"version", "1.0"}, {"build", 42}}},
         {{"ZOZVersionKey", "1.0"}, {"ZOZBuildKeyV2", "42"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::writeFile(file, row.stored.dump());
        const auto before = testsupport::readFile(file);
        platform::UserDefaults defaults(file);
        AppInstallOrUpdateCheck check;

        auto event = check.run(true, row.current, defaults);

        ASSERT_EQ(event.has_value(), row.expected.has_value());
        if (event) {
            EXPECT_EQ(event->event, row.expected->event);
            EXPECT_EQ(event->properties, row.expected->properties) << "42 and \"42\" differ";
        }
        if (row.storedAfter.is_null()) {
            EXPECT_EQ(testsupport::readFile(file), before) << "nothing is written";
        } else {
            EXPECT_EQ(json::parse(testsupport::readFile(file)), row.storedAfter);
        }
    }
}

TEST_F(AppInstallOrUpdateTest, RunsOncePerProcessAlsoWhenCapturingWasOff) {
    platform::UserDefaults defaults(file);
    AppInstallOrUpdateCheck check;
    EXPECT_FALSE(check.run(false, {"1.1", "2"}, defaults));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[DavaRor] Skipping Application Installed/Application "
                                       "Updated event - captureApplicationLifecycleEvents is "
                                       "disabled in configuration"});
    EXPECT_FALSE(check.run(true, {"1.1", "2"}, defaults))
        << "switching capture on later does not run the check again";
    EXPECT_FALSE(fs::exists(file));
}

TEST(AppVersionInfo, ReadsOnlyTextValuesOfTheBundle) {
    platform::Bundle bundle;
    bundle.setShortVersionString("2.4.1");
    bundle.setInfoDictionaryValue("CFBundleVersion", 241);
    auto info = currentAppVersion(bundle);
    EXPECT_EQ(info.version, "2.4.1");
    EXPECT_FALSE(info.build) << "a number in the dictionary is no build text";
}
