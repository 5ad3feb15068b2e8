// Which linked-flag settings turn recording on, and which flag is then
// reported as called.
#include "DavaRor/delivery/DavaRorLinkedFlag.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(DavaRorLinkedFlag, SettingsAndCachedFlagsDecideRecording) {
    const json variantLink = {{"flag", "k"}, {"variant", "b"}};
    struct Case {
        json flags;
        json settings;
        bool active;
        std::optional<std::string> reported;
    };
    const std::vector<Case> cases = {
        {json::object(), json::object(), true, std::nullopt},
        {json::object(), {{"linkedFlag", 5}}, true, std::nullopt},
        {{{"k", true}}, {{"linkedFlag", "k"}}, true, "k"},
        {{{"k", false}}, {{"linkedFlag", "k"}}, false, "k"},
        {{{"k", "any-variant"}}, {{"linkedFlag", "k"}}, true, "k"},
        {{{"k", 1}}, {{"linkedFlag", "k"}}, false, "k"},
        {json::object(), {{"linkedFlag", "k"}}, false, std::nullopt},
        {{{"k", "b"}}, {{"linkedFlag", variantLink}}, true, "k"},
        {{{"k", "a"}}, {{"linkedFlag", variantLink}}, false, "k"},
        {{{"k", true}}, {{"linkedFlag", variantLink}}, false, std::nullopt},
        {{{"k", "b"}}, {{"linkedFlag", {{"flag", "k"}}}}, false, std::nullopt},
        {{{"k", "b"}}, {{"linkedFlag", {{"flag", "k"}, {"variant", 2}}}}, false, std::nullopt},
    };
    for (const auto& [flags, settings, active, reported] : cases) {
        const auto decision = evaluateLinkedFlag(flags, settings);
        EXPECT_EQ(decision.recordingActive, active) << flags << " " << settings;
        EXPECT_EQ(decision.calledFlagKey, reported) << flags << " " << settings;
        if (reported) {
            EXPECT_EQ(decision.calledFlagValue, flags.at(*reported));
        }
    }
}
