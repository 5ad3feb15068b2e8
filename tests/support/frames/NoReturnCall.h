// Two functions laid out back to back: kocrash_fixture_call_last ends with a call that must not
// return, so the return address of that call is kocrash_fixture_after_call's first byte, as
// after a call to abort that the compiler put last.
#pragma once

#include <cstdint>

extern "C" {

// Calls function(argument) from a frame record of its own; function must not return.
[[noreturn]] void kocrash_fixture_call_last(void (*function)(std::uintptr_t),
                                            std::uintptr_t argument);
// Never called.
void kocrash_fixture_after_call();

} // extern "C"
