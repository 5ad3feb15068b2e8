#include "DavaRor/Surveys/DavaRorSurveyEnums.h"

namespace {

template <typename Enum> std::optional<Enum> caseInRange(int rawValue, Enum last) {
    if (rawValue < 0 || rawValue > static_cast<int>(last)) {
        return std::nullopt;
    }
    return static_cast<Enum>(rawValue);
}

} // namespace

std::optional<DavaRorSurveyResponseType> surveyResponseTypeFromRawValue(int rawValue) {
    return caseInRange(rawValue, DavaRorSurveyResponseType::multipleChoice);
}

std::optional<DavaRorDisplaySurveyRatingType> displaySurveyRatingTypeFromRawValue(int rawValue) {
    return caseInRange(rawValue, DavaRorDisplaySurveyRatingType::ratingStyleB);
}

std::optional<DavaRorDisplaySurveyTextContentType>
displaySurveyTextContentTypeFromRawValue(int rawValue) {
    return caseInRange(rawValue, DavaRorDisplaySurveyTextContentType::contentFormatB);
}
