#include "DavaRor/ErrorTracking/DavaRorMachExceptionNames.h"

#include "DavaRor/ErrorTracking/DavaRorAddresses.h"

#include <limits>

namespace DavaRorMachExceptionNames {

const std::map<std::uint64_t, std::string>& machExceptionNames() {
    static const std::map<std::uint64_t, std::string> names = {
        {1, "EXC_BAD_ACCESS"},     {2, "EXC_BAD_INSTRUCTION"}, {3, "EXC_ARITHMETIC"},
        {4, "EXC_EMULATION"},      {5, "EXC_SOFTWARE"},        {6, "EXC_BREAKPOINT"},
        {7, "EXC_SYSCALL"},        {8, "EXC_MACH_SYSCALL"},    {9, "EXC_RPC_ALERT"},
        {10, "EXC_CRASH"},         {11, "EXC_RESOURCE"},       {12, "EXC_GUARD"},
        {13, "EXC_CORPSE_NOTIFY"},
    };
    return names;
}

const CodeNames& kernelReturnCodeNames() {
    static const CodeNames names = {
        {0, "KERN_SUCCESS"},
        {1, "KERN_INVALID_ADDRESS"},
        {2, "KERN_PROTECTION_FAILURE"},
        {3, "KERN_NO_SPACE"},
        {4, "KERN_INVALID_ARGUMENT"},
        {5, "KERN_FAILURE"},
        {6, "KERN_RESOURCE_SHORTAGE"},
        {7, "KERN_NOT_RECEIVER"},
        {8, "KERN_NO_ACCESS"},
        {9, "KERN_MEMORY_FAILURE"},
        {10, "KERN_MEMORY_ERROR"},
        {11, "KERN_ALREADY_IN_SET"},
        {12, "KERN_NOT_IN_SET"},
        {13, "KERN_NAME_EXISTS"},
        {14, "KERN_ABORTED"},
        {15, "KERN_INVALID_NAME"},
        {16, "KERN_INVALID_TASK"},
        {17, "KERN_INVALID_RIGHT"},
        {18, "KERN_INVALID_VALUE"},
        {19, "KERN_UREFS_OVERFLOW"},
        {20, "KERN_INVALID_CAPABILITY"},
        {21, "KERN_RIGHT_EXISTS"},
        {22, "KERN_INVALID_HOST"},
        {23, "KERN_MEMORY_PRESENT"},
        {24, "KERN_MEMORY_DATA_MOVED"},
        {25, "KERN_MEMORY_RESTART_COPY"},
        {26, "KERN_INVALID_PROCESSOR_SET"},
        {27, "KERN_POLICY_LIMIT"},
        {28, "KERN_INVALID_POLICY"},
        {29, "KERN_INVALID_OBJECT"},
        {30, "KERN_ALREADY_WAITING"},
        {31, "KERN_DEFAULT_SET"},
        {32, "KERN_EXCEPTION_PROTECTED"},
        {33, "KERN_INVALID_LEDGER"},
        {34, "KERN_INVALID_MEMORY_CONTROL"},
        {35, "KERN_INVALID_SECURITY"},
        {36, "KERN_NOT_DEPRESSED"},
        {37, "KERN_TERMINATED"},
        {38, "KERN_LOCK_SET_DESTROYED"},
        {39, "KERN_LOCK_UNSTABLE"},
        {40, "KERN_LOCK_OWNED"},
        {41, "KERN_LOCK_OWNED_SELF"},
        {42, "KERN_SEMAPHORE_DESTROYED"},
        {43, "KERN_RPC_SERVER_TERMINATED"},
        {44, "KERN_RPC_TERMINATE_ORPHAN"},
        {45, "KERN_RPC_CONTINUE_ORPHAN"},
        {46, "KERN_NOT_SUPPORTED"},
        {47, "KERN_NODE_DOWN"},
        {48, "KERN_NOT_WAITING"},
        {49, "KERN_OPERATION_TIMED_OUT"},
        {50, "KERN_CODESIGN_ERROR"},
        {257, "EXC_ARM_DA_ALIGN"},
        {258, "EXC_ARM_DA_DEBUG"},
        {259, "EXC_ARM_SP_ALIGN"},
        {260, "EXC_ARM_SWP"},
        {261, "EXC_ARM_PAC_FAIL"},
    };
    return names;
}

const CodeNames& badInstructionCodeNames() {
    static const CodeNames names = {{1, "EXC_ARM_UNDEFINED"}, {2, "EXC_ARM_SME_DISALLOWED"}};
    return names;
}

const CodeNames& arithmeticCodeNames() {
    static const CodeNames names = {
        {0, "EXC_ARM_FP_UNDEFINED"}, {1, "EXC_ARM_FP_IO"}, {2, "EXC_ARM_FP_DZ"},
        {3, "EXC_ARM_FP_OF"},        {4, "EXC_ARM_FP_UF"}, {5, "EXC_ARM_FP_IX"},
        {6, "EXC_ARM_FP_ID"},
    };
    return names;
}

const CodeNames& breakpointCodeNames() {
    static const CodeNames names = {{1, "EXC_ARM_BREAKPOINT"}};
    return names;
}

const std::map<std::int64_t, const CodeNames*>& exceptionCodeNameMappings() {
    static const std::map<std::int64_t, const CodeNames*> mappings = {
        {1, &kernelReturnCodeNames()},
        {2, &badInstructionCodeNames()},
        {3, &arithmeticCodeNames()},
        {6, &breakpointCodeNames()},
    };
    return mappings;
}

std::string machExceptionName(std::uint64_t type) {
    const auto& names = machExceptionNames();
    if (auto row = names.find(type); row != names.end()) {
        return row->second;
    }
    return "EXC_UNKNOWN_" + std::to_string(type);
}

namespace {

std::string codeText(std::uint64_t type, std::int64_t code) {
    // A type above the signed range names no table.
    if (type <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        const auto& mappings = exceptionCodeNameMappings();
        if (auto table = mappings.find(static_cast<std::int64_t>(type)); table != mappings.end()) {
            if (auto row = table->second->find(code); row != table->second->end()) {
                return row->second + " (" + std::to_string(code) + ")";
            }
        }
    }
    return std::to_string(code);
}

} // namespace

std::string machExceptionMessage(std::uint64_t type, const std::vector<std::uint64_t>& codes) {
    std::string message = machExceptionName(type);
    if (codes.empty()) {
        return message;
    }
    message += ", Code " + codeText(type, static_cast<std::int64_t>(codes[0]));
    if (codes.size() >= 2) {
        message += ", Subcode " + addressText(codes[1]);
    }
    return message;
}

} // namespace DavaRorMachExceptionNames
