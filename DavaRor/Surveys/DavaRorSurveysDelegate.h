#pragma once

#include "DavaRor/Surveys/DavaRorDisplaySurvey.h"
#include "DavaRor/Surveys/DavaRorNextSurveyQuestion.h"
#include "DavaRor/Surveys/DavaRorSurveyResponse.h"
#include "platform/core/Export.h"

#include <cstdint>
#include <functional>
#include <optional>

// How an application renders surveys: it shows the survey, reports when it
// was shown, hands each response back (learning which question comes next)
// and reports when it was closed.
class DAVAROR_EXPORT DavaRorSurveysDelegate {
public:
    using OnSurveyShown = std::function<void(const DavaRorDisplaySurvey&)>;
    using OnSurveyResponse = std::function<std::optional<DavaRorNextSurveyQuestion>(
        const DavaRorDisplaySurvey&, std::int64_t questionIndex, const DavaRorSurveyResponse&)>;
    using OnSurveyClosed = std::function<void(const DavaRorDisplaySurvey&)>;

    virtual ~DavaRorSurveysDelegate() = default;

    virtual void renderSurvey(const DavaRorDisplaySurvey& survey, OnSurveyShown onSurveyShown,
                              OnSurveyResponse onSurveyResponse, OnSurveyClosed onSurveyClosed) = 0;
    // Removes whatever is shown.
    virtual void cleanupSurveys() = 0;
};

// Shows nothing: applications that render surveys install their own delegate.
class DAVAROR_EXPORT DavaRorSurveysDefaultDelegate final : public DavaRorSurveysDelegate {
public:
    void renderSurvey(const DavaRorDisplaySurvey&, OnSurveyShown, OnSurveyResponse,
                      OnSurveyClosed) override {}
    void cleanupSurveys() override {}
};
