#include "DavaRor/Surveys/DavaRorSurveyResponse.h"

DavaRorSurveyResponse::DavaRorSurveyResponse(
    DavaRorSurveyResponseType type, std::optional<bool> linkClicked,
    std::optional<std::int64_t> ratingValue, std::optional<std::string> textValue,
    std::optional<std::vector<std::string>> selectedOptions)
    : type(type), linkClicked(linkClicked), ratingValue(ratingValue),
      textValue(std::move(textValue)), selectedOptions(std::move(selectedOptions)) {}

DavaRorSurveyResponse DavaRorSurveyResponse::link(bool linkClicked) {
    return {DavaRorSurveyResponseType::link, linkClicked, std::nullopt, std::nullopt, std::nullopt};
}

DavaRorSurveyResponse DavaRorSurveyResponse::rating(std::optional<std::int64_t> ratingValue) {
    return {DavaRorSurveyResponseType::rating, std::nullopt, ratingValue, std::nullopt,
            std::nullopt};
}

DavaRorSurveyResponse DavaRorSurveyResponse::openEnded(std::optional<std::string> textValue) {
    return {DavaRorSurveyResponseType::openEnded, std::nullopt, std::nullopt, std::move(textValue),
            std::nullopt};
}

DavaRorSurveyResponse
DavaRorSurveyResponse::singleChoice(std::optional<std::string> selectedOption) {
    std::optional<std::vector<std::string>> selected;
    if (selectedOption) {
        selected.emplace({std::move(*selectedOption)});
    }
    return {DavaRorSurveyResponseType::singleChoice, std::nullopt, std::nullopt, std::nullopt,
            std::move(selected)};
}

DavaRorSurveyResponse
DavaRorSurveyResponse::multipleChoice(std::optional<std::vector<std::string>> selectedOptions) {
    return {DavaRorSurveyResponseType::multipleChoice, std::nullopt, std::nullopt, std::nullopt,
            std::move(selectedOptions)};
}
