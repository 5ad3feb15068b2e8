#pragma once

#include <exception>
#include <source_location>
#include <string>

// The error the client's own code throws, e.g. when an integration refuses to
// install. Its description names where it was made.
class InternalDavaRorError : public std::exception {
public:
    explicit InternalDavaRorError(const std::string& message,
                                  std::source_location location = std::source_location::current());
    InternalDavaRorError(const std::string& message, const std::string& fileIdentifier,
                         unsigned line);

    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};
