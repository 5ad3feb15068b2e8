// The raw system calls of the stand-ins. syscall is variadic and reads every argument as a full
// long, but an int argument fills only half of its slot: past the fifth argument on x86_64 the
// slot is on the stack, and the kernel is handed whatever the upper half held (process_vm_readv
// then refuses its flags with EINVAL). Each argument is widened here before the call. Safe at
// crash time.
#pragma once

#include <type_traits>
#include <unistd.h>

namespace platform {

template <typename Argument> long systemCallArgument(Argument argument) {
    if constexpr (std::is_pointer_v<Argument>) {
        return reinterpret_cast<long>(argument);
    } else if constexpr (std::is_null_pointer_v<Argument>) {
        return 0;
    } else {
        static_assert(std::is_integral_v<Argument> || std::is_enum_v<Argument>);
        return static_cast<long>(argument);
    }
}

template <typename... Arguments> long systemCall(long number, Arguments... arguments) {
    return syscall(number, systemCallArgument(arguments)...);
}

} // namespace platform
