#pragma once

#include "DavaRor/Surveys/DavaRorSurveyEnums.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One question of a survey to show; the subclasses add what their kind needs.
class DAVAROR_EXPORT DavaRorDisplaySurveyQuestion {
public:
    DavaRorDisplaySurveyQuestion(std::string id, std::string question,
                                 std::optional<std::string> questionDescription,
                                 DavaRorDisplaySurveyTextContentType questionDescriptionContentType,
                                 bool isOptional, std::optional<std::string> buttonText);
    virtual ~DavaRorDisplaySurveyQuestion() = default;

    const std::string id;
    const std::string question;
    const std::optional<std::string> questionDescription;
    const DavaRorDisplaySurveyTextContentType questionDescriptionContentType;
    const bool isOptional;
    const std::optional<std::string> buttonText;
};

class DAVAROR_EXPORT DavaRorDisplayOpenQuestion final : public DavaRorDisplaySurveyQuestion {
public:
    using DavaRorDisplaySurveyQuestion::DavaRorDisplaySurveyQuestion;
};

class DAVAROR_EXPORT DavaRorDisplayLinkQuestion final : public DavaRorDisplaySurveyQuestion {
public:
    DavaRorDisplayLinkQuestion(std::string id, std::string question,
                               std::optional<std::string> questionDescription,
                               DavaRorDisplaySurveyTextContentType questionDescriptionContentType,
                               bool isOptional, std::optional<std::string> buttonText,
                               std::optional<std::string> link);

    const std::optional<std::string> link;
};

class DAVAROR_EXPORT DavaRorDisplayRatingQuestion final : public DavaRorDisplaySurveyQuestion {
public:
    DavaRorDisplayRatingQuestion(std::string id, std::string question,
                                 std::optional<std::string> questionDescription,
                                 DavaRorDisplaySurveyTextContentType questionDescriptionContentType,
                                 bool isOptional, std::optional<std::string> buttonText,
                                 DavaRorDisplaySurveyRatingType ratingType,
                                 std::int64_t scaleLowerBound, std::int64_t scaleUpperBound,
                                 std::string lowerBoundLabel, std::string upperBoundLabel);

    const DavaRorDisplaySurveyRatingType ratingType;
    const std::int64_t scaleLowerBound;
    const std::int64_t scaleUpperBound;
    const std::string lowerBoundLabel;
    const std::string upperBoundLabel;
};

class DAVAROR_EXPORT DavaRorDisplayChoiceQuestion final : public DavaRorDisplaySurveyQuestion {
public:
    DavaRorDisplayChoiceQuestion(std::string id, std::string question,
                                 std::optional<std::string> questionDescription,
                                 DavaRorDisplaySurveyTextContentType questionDescriptionContentType,
                                 bool isOptional, std::optional<std::string> buttonText,
                                 std::vector<std::string> choices, bool hasOpenChoice,
                                 bool shuffleOptions, bool isMultipleChoice);

    const std::vector<std::string> choices;
    const bool hasOpenChoice;
    const bool shuffleOptions;
    const bool isMultipleChoice;
};
