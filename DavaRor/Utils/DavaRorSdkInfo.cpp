#include "DavaRor/Utils/DavaRorSdkInfo.h"

std::string davaRorSdkName = "davaror-ios";
std::string davaRorVersion = "3.50.0";
