// The name of a type as the program's source writes it (demangled), for messages and reports
// that name the dynamic type of an object.
#pragma once

#include <string>
#include <typeinfo>

namespace platform::foundation {

// The mangled name when it cannot be demangled.
std::string typeName(const std::type_info& type);

} // namespace platform::foundation
