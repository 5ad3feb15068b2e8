#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Texts of Mach exceptions as crash reports carry them: the exception type's name and the
// message that names its code. The tables are built once, on first use, and never change.
namespace DavaRorMachExceptionNames {

using CodeNames = std::map<std::int64_t, std::string>;

const std::map<std::uint64_t, std::string>& machExceptionNames();
const CodeNames& kernelReturnCodeNames();
const CodeNames& badInstructionCodeNames();
const CodeNames& arithmeticCodeNames();
const CodeNames& breakpointCodeNames();
// Exception type to the table that names its codes; types without one are absent.
const std::map<std::int64_t, const CodeNames*>& exceptionCodeNameMappings();

// The table's name, else "EXC_UNKNOWN_" and the type in decimal.
std::string machExceptionName(std::uint64_t type);

// "<name>", "<name>, Code <code>" or "<name>, Code <code>, Subcode 0x<16 hex digits>", the code
// named by the type's table when it has a row for it ("KERN_INVALID_ADDRESS (1)"), else in
// signed decimal. Codes after the second are ignored.
std::string machExceptionMessage(std::uint64_t type, const std::vector<std::uint64_t>& codes);

} // namespace DavaRorMachExceptionNames
