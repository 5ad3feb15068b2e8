#include "DavaRor/DavaRorConfig.h"
#include "DavaRor/Surveys/DavaRorSurveysConfig.h"

#include <gtest/gtest.h>

#include <memory>

TEST(DavaRorSurveyResponse, EachFactorySetsItsTypeAndOnlyItsValue) {
    auto link = DavaRorSurveyResponse::link(true);
    EXPECT_EQ(link.type, DavaRorSurveyResponseType::link);
    EXPECT_EQ(link.linkClicked, true);
    EXPECT_FALSE(link.ratingValue || link.textValue || link.selectedOptions);

    auto rating = DavaRorSurveyResponse::rating(std::nullopt);
    EXPECT_EQ(rating.type, DavaRorSurveyResponseType::rating);
    EXPECT_FALSE(rating.ratingValue || rating.linkClicked || rating.textValue ||
                 rating.selectedOptions);
    EXPECT_EQ(DavaRorSurveyResponse::rating(-5).ratingValue, -5);

    auto open = DavaRorSurveyResponse::openEnded("more tabs");
    EXPECT_EQ(open.type, DavaRorSurveyResponseType::openEnded);
    EXPECT_EQ(open.textValue, "more tabs");
    EXPECT_FALSE(open.linkClicked || open.ratingValue || open.selectedOptions);

    auto single = DavaRorSurveyResponse::singleChoice("a");
    EXPECT_EQ(single.type, DavaRorSurveyResponseType::singleChoice);
    EXPECT_EQ(single.selectedOptions, std::vector<std::string>{"a"});
    EXPECT_FALSE(single.linkClicked || single.textValue);
    auto none = DavaRorSurveyResponse::singleChoice(std::nullopt);
    EXPECT_FALSE(none.selectedOptions) << "no selection is none, not an empty list";

    auto multiple = DavaRorSurveyResponse::multipleChoice(std::vector<std::string>{});
    EXPECT_EQ(multiple.type, DavaRorSurveyResponseType::multipleChoice);
    EXPECT_EQ(multiple.selectedOptions, std::vector<std::string>{});
}

TEST(DavaRorSurveyEnums, RawValuesOutsideTheCasesGiveNone) {
    EXPECT_EQ(surveyResponseTypeFromRawValue(4), DavaRorSurveyResponseType::multipleChoice);
    EXPECT_FALSE(surveyResponseTypeFromRawValue(5));
    EXPECT_FALSE(surveyResponseTypeFromRawValue(-1));
    EXPECT_EQ(displaySurveyRatingTypeFromRawValue(1), DavaRorDisplaySurveyRatingType::ratingStyleB);
    EXPECT_FALSE(displaySurveyRatingTypeFromRawValue(2));
    EXPECT_EQ(displaySurveyTextContentTypeFromRawValue(0),
              DavaRorDisplaySurveyTextContentType::contentFormatA);
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
    EXPECT_EQ(own->next->questionIndex, 1);
}
