#pragma once

#include "DavaRor/Surveys/DavaRorSurveyEnums.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The user's answer to one survey question. Made only through the factories,
// each of which sets the type and the one value field of that type.
class DAVAROR_EXPORT DavaRorSurveyResponse {
public:
    static DavaRorSurveyResponse link(bool linkClicked);
    static DavaRorSurveyResponse rating(std::optional<std::int64_t> ratingValue);
    static DavaRorSurveyResponse openEnded(std::optional<std::string> textValue);
    // A one-element list, or none when no option was selected.
    static DavaRorSurveyResponse singleChoice(std::optional<std::string> selectedOption);
    static DavaRorSurveyResponse
    multipleChoice(std::optional<std::vector<std::string>> selectedOptions);

    const DavaRorSurveyResponseType type;
    const std::optional<bool> linkClicked;
    const std::optional<std::int64_t> ratingValue;
    const std::optional<std::string> textValue;
    const std::optional<std::vector<std::string>> selectedOptions;

private:
    DavaRorSurveyResponse(DavaRorSurveyResponseType type, std::optional<bool> linkClicked,
                          std::optional<std::int64_t> ratingValue,
                          std::optional<std::string> textValue,
                          std::optional<std::vector<std::string>> selectedOptions);
};
