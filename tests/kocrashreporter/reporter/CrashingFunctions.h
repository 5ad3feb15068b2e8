// Functions that end the process by one fatal signal each, with C names so that a report's
// symbols can be matched against them.
#pragma once

#include <cstdint>

extern "C" {

void kocrash_test_store_to(std::uintptr_t address);
// Calls whatever lies at address, through a pointer the compiler cannot see through.
void kocrash_test_call_address(std::uintptr_t address);
// Reads a page of a file mapping that lies past the end of the file.
void kocrash_test_bus_error();
void kocrash_test_arithmetic_error();
void kocrash_test_illegal_instruction();
void kocrash_test_breakpoint();
void kocrash_test_abort();
// Sends SIGSEGV to the whole process, then waits for it.
void kocrash_test_kill_self_segv();
void kocrash_test_throw_runtime_error();

} // extern "C"
