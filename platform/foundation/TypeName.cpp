#include "platform/foundation/TypeName.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

namespace platform::foundation {

std::string typeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? demangled.get() : type.name();
}

} // namespace platform::foundation
