#pragma once

#include <cstdint>

// The delegate's answer after a response: which question comes next, or
// that the survey is done.
struct DavaRorNextSurveyQuestion {
    std::int64_t questionIndex;
    bool isSurveyCompleted;
};
