#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Surveys/DavaRorSurveysConfig.h"

#include <gtest/gtest.h>

#include <memory>

TEST(DavaRorSurveyEnums, RawValuesOutsideTheCasesGiveNone) {
    EXPECT_EQ(surveyResponseTypeFromRawValue(4), DavaRorSurveyResponseType::multipleChoice);
    EXPECT_FALSE(surveyResponseTypeFromRawValue(5));
    EXPECT_FALSE(surveyResponseTypeFromRawValue(-1));
    EXPECT_FALSE(displaySurveyRatingTypeFromRawValue(2));
    EXPECT_FALSE(displaySurveyTextContentTypeFromRawValue(2));
}

namespace {

class RecordingDelegate final : public DavaRorSurveysDelegate {
public:
    void renderSurvey(const DavaRorDisplaySurvey& survey, OnSurveyShown onSurveyShown,
                      OnSurveyResponse onSurveyResponse, OnSurveyClosed) override {
        onSurveyShown(survey);
        next = onSurveyResponse(survey, 0, DavaRorSurveyResponse::rating(9));
    }
    void cleanupSurveys() override {}
    std::optional<DavaRorNextSurveyQuestion> next;
};

} // namespace

TEST(DavaRorSurveysConfig, StartsWithTheSilentDefaultDelegateAndTakesTheApplicationsOwn) {
    DavaRorConfig config("key");
    auto defaultDelegate = config.surveysConfig().surveysDelegate();
    ASSERT_TRUE(std::dynamic_pointer_cast<DavaRorSurveysDefaultDelegate>(defaultDelegate));

    DavaRorDisplaySurvey survey(
        "s1", "Feedback",
        {std::make_shared<DavaRorDisplayOpenQuestion>(
            "q1", "Why?", std::nullopt, DavaRorDisplaySurveyTextContentType::contentFormatA, true,
            std::nullopt)},
        std::nullopt, std::nullopt, std::nullopt);
    int shown = 0;
    auto onShown = [&](const DavaRorDisplaySurvey&) { ++shown; };
    auto onResponse = [](const DavaRorDisplaySurvey&, std::int64_t index,
                         const DavaRorSurveyResponse&) {
        return std::optional<DavaRorNextSurveyQuestion>({index + 1, true});
    };
    defaultDelegate->renderSurvey(survey, onShown, onResponse, nullptr);
    EXPECT_EQ(shown, 0) << "the default delegate shows nothing";

    auto own = std::make_shared<RecordingDelegate>();
    config.surveysConfig().setSurveysDelegate(own);
    config.surveysConfig().setSurveysDelegate(nullptr);
    ASSERT_EQ(config.surveysConfig().surveysDelegate(), own) << "a null delegate is refused";
    config._surveysConfig.surveysDelegate()->renderSurvey(survey, onShown, onResponse, nullptr);
    EXPECT_EQ(shown, 1);
    ASSERT_TRUE(own->next);
    EXPECT_EQ(own->next->questionIndex(), 1);
    EXPECT_TRUE(own->next->isSurveyCompleted());
}

TEST(DavaRorDisplaySurvey, IsIdentifiedByItsId) {
    const auto survey = [](const char* id, const char* name) {
        return DavaRorDisplaySurvey(id, name, {}, std::nullopt, std::nullopt, std::nullopt);
    };
    EXPECT_EQ(survey("s1", "Feedback"), survey("s1", "Feedback, reworded"));
    EXPECT_NE(survey("s1", "Feedback"), survey("s2", "Feedback"));
}
