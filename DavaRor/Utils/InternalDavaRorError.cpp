#include "DavaRor/Utils/InternalDavaRorError.h"

#include <filesystem>

InternalDavaRorError::InternalDavaRorError(const std::string& message,
                                           std::source_location location)
    : InternalDavaRorError(message, std::filesystem::path(location.file_name()).filename().string(),
                           location.line()) {}

InternalDavaRorError::InternalDavaRorError(const std::string& message,
                                           const std::string& fileIdentifier, unsigned line)
    : description_(message + " (" + fileIdentifier + ":" + std::to_string(line) + ")") {}
