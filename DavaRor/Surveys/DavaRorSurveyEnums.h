#pragma once

#include <optional>

enum class DavaRorSurveyResponseType : int {
    link = 0,
    rating = 1,
    openEnded = 2,
    singleChoice = 3,
    multipleChoice = 4,
};

enum class DavaRorDisplaySurveyRatingType : int { ratingStyleA = 0, ratingStyleB = 1 };

enum class DavaRorDisplaySurveyTextContentType : int { contentFormatA = 0, contentFormatB = 1 };

// The case with the given raw value; none outside the listed cases.
std::optional<DavaRorSurveyResponseType> surveyResponseTypeFromRawValue(int rawValue);
std::optional<DavaRorDisplaySurveyRatingType> displaySurveyRatingTypeFromRawValue(int rawValue);
std::optional<DavaRorDisplaySurveyTextContentType>
displaySurveyTextContentTypeFromRawValue(int rawValue);
