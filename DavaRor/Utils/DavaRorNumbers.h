#pragma once

#include <string>

// The shortest decimal text that reads back as `value`, always with a
// fractional part: 5 gives "5.0", 0.1 gives "0.1".
std::string doubleDescription(double value);
