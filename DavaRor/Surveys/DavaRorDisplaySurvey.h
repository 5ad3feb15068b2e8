#pragma once

#include "DavaRor/Surveys/DavaRorDisplaySurveyQuestion.h"
#include "DavaRor/Surveys/DavaRorSurveyEnums.h"
#include "DavaRor/Utils/DavaRorDates.h"
#include "platform/core/Export.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// How a survey looks; every field is optional but the thank-you switch.
class DAVAROR_EXPORT DavaRorDisplaySurveyAppearance {
public:
    DavaRorDisplaySurveyAppearance(
        std::optional<std::string> fontFamily, std::optional<std::string> backgroundColor,
        std::optional<std::string> borderColor, std::optional<std::string> submitButtonColor,
        std::optional<std::string> submitButtonText,
        std::optional<std::string> submitButtonTextColor, std::optional<std::string> textColor,
        std::optional<std::string> descriptionTextColor,
        std::optional<std::string> ratingButtonColor,
        std::optional<std::string> ratingButtonActiveColor,
        std::optional<std::string> inputBackground, std::optional<std::string> inputTextColor,
        std::optional<std::string> placeholder, bool displayThankYouMessage,
        std::optional<std::string> thankYouMessageHeader,
        std::optional<std::string> thankYouMessageDescription,
        std::optional<DavaRorDisplaySurveyTextContentType> thankYouMessageDescriptionContentType,
        std::optional<std::string> thankYouMessageCloseButtonText);

    const std::optional<std::string> fontFamily;
    const std::optional<std::string> backgroundColor;
    const std::optional<std::string> borderColor;
    const std::optional<std::string> submitButtonColor;
    const std::optional<std::string> submitButtonText;
    const std::optional<std::string> submitButtonTextColor;
    const std::optional<std::string> textColor;
    const std::optional<std::string> descriptionTextColor;
    const std::optional<std::string> ratingButtonColor;
    const std::optional<std::string> ratingButtonActiveColor;
    const std::optional<std::string> inputBackground;
    const std::optional<std::string> inputTextColor;
    const std::optional<std::string> placeholder;
    const bool displayThankYouMessage;
    const std::optional<std::string> thankYouMessageHeader;
    const std::optional<std::string> thankYouMessageDescription;
    const std::optional<DavaRorDisplaySurveyTextContentType> thankYouMessageDescriptionContentType;
    const std::optional<std::string> thankYouMessageCloseButtonText;
};

// A survey handed to the surveys delegate to show; identified by its id.
class DAVAROR_EXPORT DavaRorDisplaySurvey {
public:
    DavaRorDisplaySurvey(std::string id, std::string name,
                         std::vector<std::shared_ptr<const DavaRorDisplaySurveyQuestion>> questions,
                         std::optional<DavaRorDisplaySurveyAppearance> appearance,
                         std::optional<DavaRorDate> startDate, std::optional<DavaRorDate> endDate);

    // The same survey, whatever else differs.
    bool operator==(const DavaRorDisplaySurvey& other) const { return id == other.id; }

    const std::string id;
    const std::string name;
    const std::vector<std::shared_ptr<const DavaRorDisplaySurveyQuestion>> questions;
    const std::optional<DavaRorDisplaySurveyAppearance> appearance;
    const std::optional<DavaRorDate> startDate;
    const std::optional<DavaRorDate> endDate;
};
