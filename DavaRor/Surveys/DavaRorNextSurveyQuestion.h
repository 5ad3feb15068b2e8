#pragma once

#include "platform/core/Export.h"

#include <cstdint>

// The delegate's answer after a response: which question comes next, or
// that the survey is done.
class DAVAROR_EXPORT DavaRorNextSurveyQuestion {
public:
    DavaRorNextSurveyQuestion(std::int64_t questionIndex, bool isSurveyCompleted)
        : questionIndex_(questionIndex), isSurveyCompleted_(isSurveyCompleted) {}

    std::int64_t questionIndex() const { return questionIndex_; }
    bool isSurveyCompleted() const { return isSurveyCompleted_; }

private:
    std::int64_t questionIndex_;
    bool isSurveyCompleted_;
};
