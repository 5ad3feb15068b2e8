// Kernel types, return codes and constants of the Mach interfaces the crash reporter calls,
// with the numeric values its code and its crash logs rely on.
#pragma once

#include <cstdint>

using kern_return_t = int;
using natural_t = std::uint32_t;
using integer_t = std::int32_t;
using boolean_t = int;

using mach_port_name_t = natural_t;
using mach_port_t = mach_port_name_t;
using task_t = mach_port_t;
using vm_map_t = mach_port_t;
using thread_t = mach_port_t;
using thread_act_t = mach_port_t;
using thread_act_array_t = thread_act_t*;
using mem_entry_name_port_t = mach_port_t;
using mach_port_right_t = natural_t;
using mach_port_delta_t = integer_t;
using mach_port_urefs_t = natural_t;
using mach_msg_type_number_t = natural_t;

using mach_vm_address_t = std::uint64_t;
using mach_vm_size_t = std::uint64_t;
using mach_vm_offset_t = std::uint64_t;
using memory_object_size_t = std::uint64_t;
using memory_object_offset_t = std::uint64_t;
using vm_size_t = std::uintptr_t;
using vm_prot_t = int;
using vm_inherit_t = unsigned int;

using cpu_type_t = integer_t;
using cpu_subtype_t = integer_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_MEMORY_ERROR = 10;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = ~mach_port_t{0};
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;

inline constexpr vm_prot_t VM_PROT_NONE = 0;
inline constexpr vm_prot_t VM_PROT_READ = 1;
inline constexpr vm_prot_t VM_PROT_WRITE = 2;
inline constexpr vm_prot_t VM_PROT_EXECUTE = 4;
inline constexpr int VM_FLAGS_FIXED = 0;
inline constexpr int VM_FLAGS_ANYWHERE = 1;
inline constexpr int VM_FLAGS_OVERWRITE = 0x4000;
inline constexpr vm_inherit_t VM_INHERIT_COPY = 1;

inline constexpr cpu_type_t CPU_ARCH_ABI64 = 0x01000000;
inline constexpr cpu_type_t CPU_TYPE_X86 = 7;
inline constexpr cpu_type_t CPU_TYPE_X86_64 = CPU_TYPE_X86 | CPU_ARCH_ABI64;
inline constexpr cpu_type_t CPU_TYPE_ARM = 12;
inline constexpr cpu_type_t CPU_TYPE_ARM64 = CPU_TYPE_ARM | CPU_ARCH_ABI64;
