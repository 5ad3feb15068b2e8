#include "DavaRor/Surveys/DavaRorDisplaySurvey.h"

DavaRorDisplaySurveyAppearance::DavaRorDisplaySurveyAppearance(
    std::optional<std::string> fontFamily, std::optional<std::string> backgroundColor,
    std::optional<std::string> borderColor, std::optional<std::string> submitButtonColor,
    std::optional<std::string> submitButtonText, std::optional<std::string> submitButtonTextColor,
    std::optional<std::string> textColor, std::optional<std::string> descriptionTextColor,
    std::optional<std::string> ratingButtonColor,
    std::optional<std::string> ratingButtonActiveColor, std::optional<std::string> inputBackground,
    std::optional<std::string> inputTextColor, std::optional<std::string> placeholder,
    bool displayThankYouMessage, std::optional<std::string> thankYouMessageHeader,
    std::optional<std::string> thankYouMessageDescription,
    std::optional<DavaRorDisplaySurveyTextContentType> thankYouMessageDescriptionContentType,
    std::optional<std::string> thankYouMessageCloseButtonText)
    : fontFamily(std::move(fontFamily)), backgroundColor(std::move(backgroundColor)),
      borderColor(std::move(borderColor)), submitButtonColor(std::move(submitButtonColor)),
      submitButtonText(std::move(submitButtonText)),
      submitButtonTextColor(std::move(submitButtonTextColor)), textColor(std::move(textColor)),
      descriptionTextColor(std::move(descriptionTextColor)),
      ratingButtonColor(std::move(ratingButtonColor)),
      ratingButtonActiveColor(std::move(ratingButtonActiveColor)),
      inputBackground(std::move(inputBackground)), inputTextColor(std::move(inputTextColor)),
      placeholder(std::move(placeholder)), displayThankYouMessage(displayThankYouMessage),
      thankYouMessageHeader(std::move(thankYouMessageHeader)),
      thankYouMessageDescription(std::move(thankYouMessageDescription)),
      thankYouMessageDescriptionContentType(thankYouMessageDescriptionContentType),
      thankYouMessageCloseButtonText(std::move(thankYouMessageCloseButtonText)) {}

DavaRorDisplaySurvey::DavaRorDisplaySurvey(
    std::string id, std::string name,
    std::vector<std::shared_ptr<const DavaRorDisplaySurveyQuestion>> questions,
    std::optional<DavaRorDisplaySurveyAppearance> appearance, std::optional<DavaRorDate> startDate,
    std::optional<DavaRorDate> endDate)
    : id(std::move(id)), name(std::move(name)), questions(std::move(questions)),
      appearance(std::move(appearance)), startDate(startDate), endDate(endDate) {}
