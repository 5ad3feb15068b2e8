#include "DavaRor/Surveys/DavaRorDisplaySurveyQuestion.h"

DavaRorDisplaySurveyQuestion::DavaRorDisplaySurveyQuestion(
    std::string id, std::string question, std::optional<std::string> questionDescription,
    DavaRorDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
    std::optional<std::string> buttonText)
    : id(std::move(id)), question(std::move(question)),
      questionDescription(std::move(questionDescription)),
      questionDescriptionContentType(questionDescriptionContentType), isOptional(isOptional),
      buttonText(std::move(buttonText)) {}

DavaRorDisplayLinkQuestion::DavaRorDisplayLinkQuestion(
    std::string id, std::string question, std::optional<std::string> questionDescription,
    DavaRorDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
    std::optional<std::string> buttonText, std::optional<std::string> link)
    : DavaRorDisplaySurveyQuestion(std::move(id), std::move(question),
                                   std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      link(std::move(link)) {}

DavaRorDisplayRatingQuestion::DavaRorDisplayRatingQuestion(
    std::string id, std::string question, std::optional<std::string> questionDescription,
    DavaRorDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
    std::optional<std::string> buttonText, DavaRorDisplaySurveyRatingType ratingType,
    std::int64_t scaleLowerBound, std::int64_t scaleUpperBound, std::string lowerBoundLabel,
    std::string upperBoundLabel)
    : DavaRorDisplaySurveyQuestion(std::move(id), std::move(question),
                                   std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      ratingType(ratingType), scaleLowerBound(scaleLowerBound), scaleUpperBound(scaleUpperBound),
      lowerBoundLabel(std::move(lowerBoundLabel)), upperBoundLabel(std::move(upperBoundLabel)) {}

DavaRorDisplayChoiceQuestion::DavaRorDisplayChoiceQuestion(
    std::string id, std::string question, std::optional<std::string> questionDescription,
    DavaRorDisplaySurveyTextContentType questionDescriptionContentType, bool isOptional,
    std::optional<std::string> buttonText, std::vector<std::string> choices, bool hasOpenChoice,
    bool shuffleOptions, bool isMultipleChoice)
    : DavaRorDisplaySurveyQuestion(std::move(id), std::move(question),
                                   std::move(questionDescription), questionDescriptionContentType,
                                   isOptional, std::move(buttonText)),
      choices(std::move(choices)), hasOpenChoice(hasOpenChoice), shuffleOptions(shuffleOptions),
      isMultipleChoice(isMultipleChoice) {}
