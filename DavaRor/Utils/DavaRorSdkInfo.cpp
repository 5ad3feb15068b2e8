#include "DavaRor/Utils/DavaRorSdkInfo.h"

std::string davaror::davaRorSdkName = "davaror-ios";
std::string davaror::davaRorVersion = "3.50.0";
