// May run at crash time: everything in this file (constant tables, copies into caller storage
// and thread_get_state).
#include "unwind/KOCrashAsyncThreadState.h"

#include "async/KOCrashAsyncString.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/UserAddressMask.h"

using platform::mach::thread_get_state;

namespace {

// Signed code and stack addresses carry pointer-authentication and tag bits above the user
// address width.
constexpr kocrash_greg_t kAddressMask = platform::mach::userAddressMask(CPU_TYPE_ARM64);

struct DwarfPair {
    kocrash_regnum_t regnum;
    std::uint64_t dwarf;
};

constexpr const char* kNames64[KOCRASH_ARM64_REGISTER_COUNT] = {
    "pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",
    "x9",  "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x19", "x20",
    "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr"};

constexpr const char* kNames32[KOCRASH_ARM_REGISTER_COUNT] = {
    "pc", "r7", "sp", "r0",  "r1",  "r2",  "r3", "r4",  "r5",
    "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr"};

// x0..x28, fp, lr, sp.
constexpr DwarfPair kDwarf64[] = {
    {3, 0},   {4, 1},   {5, 2},   {6, 3},   {7, 4},   {8, 5},   {9, 6},   {10, 7},
    {11, 8},  {12, 9},  {13, 10}, {14, 11}, {15, 12}, {16, 13}, {17, 14}, {18, 15},
    {19, 16}, {20, 17}, {21, 18}, {22, 19}, {23, 20}, {24, 21}, {25, 22}, {26, 23},
    {27, 24}, {28, 25}, {29, 26}, {30, 27}, {31, 28}, {1, 29},  {32, 30}, {2, 31}};

// r0..r6, r7, r8..r12, sp, lr, pc.
constexpr DwarfPair kDwarf32[] = {{3, 0},   {4, 1},  {5, 2},   {6, 3},  {7, 4},   {8, 5},
                                  {9, 6},   {1, 7},  {10, 8},  {11, 9}, {12, 10}, {13, 11},
                                  {14, 12}, {2, 13}, {15, 14}, {0, 15}};

static_assert(sizeof(kDwarf64) / sizeof(DwarfPair) == 32);
static_assert(sizeof(kDwarf32) / sizeof(DwarfPair) == 16);

// Registers a callee preserves: x19..x28 and fp; r4, r5, r6, r7, r8, r10, r11.
constexpr kocrash_regnum_t kNonVolatile64[] = {1, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
constexpr kocrash_regnum_t kNonVolatile32[] = {7, 8, 9, 1, 10, 12, 13};

bool is32Bit(const kocrash_async_thread_state* state) {
    return state->arm_registers.ash.flavor == ARM_THREAD_STATE32;
}

void checkRegnum(const kocrash_async_thread_state* state, kocrash_regnum_t regnum) {
    if (regnum >= kocrash_async_thread_state_get_reg_count(state)) {
        __builtin_trap();
    }
}

std::uint64_t* slot64(kocrash_async_thread_state* state, kocrash_regnum_t regnum) {
    arm_thread_state64_t& registers = state->arm_registers.uts.ts_64;
    switch (regnum) {
    case KOCRASH_ARM64_PC:
        return &registers.pc;
    case KOCRASH_ARM64_FP:
        return &registers.fp;
    case KOCRASH_ARM64_SP:
        return &registers.sp;
    case KOCRASH_ARM64_LR:
        return &registers.lr;
    default:
        return &registers.x[regnum - KOCRASH_ARM64_X0];
    }
}

std::uint32_t* slot32(kocrash_async_thread_state* state, kocrash_regnum_t regnum) {
    arm_thread_state32_t& registers = state->arm_registers.uts.ts_32;
    switch (regnum) {
    case KOCRASH_ARM_PC:
        return &registers.pc;
    case KOCRASH_ARM_R7:
        return &registers.r[7];
    case KOCRASH_ARM_SP:
        return &registers.sp;
    case KOCRASH_ARM_LR:
        return &registers.lr;
    case KOCRASH_ARM_CPSR:
        return &registers.cpsr;
    default:
        return regnum <= KOCRASH_ARM_R6 ? &registers.r[regnum - KOCRASH_ARM_R0]
                                        : &registers.r[regnum - KOCRASH_ARM_R8 + 8];
    }
}

template <std::size_t Count>
bool contains(const kocrash_regnum_t (&list)[Count], kocrash_regnum_t regnum) {
    for (kocrash_regnum_t entry : list) {
        if (entry == regnum) {
            return true;
        }
    }
    return false;
}

void setLayout(kocrash_async_thread_state* state, bool thirtyTwoBit) {
    state->arm_registers.ash.flavor = thirtyTwoBit ? ARM_THREAD_STATE32 : ARM_THREAD_STATE64;
    state->arm_registers.ash.count =
        thirtyTwoBit ? ARM_THREAD_STATE32_COUNT : ARM_THREAD_STATE64_COUNT;
    state->greg_size = thirtyTwoBit ? 4 : 8;
    state->stack_direction = KOCRASH_ASYNC_STACK_DIRECTION_DOWN;
}

} // namespace

kocrash_error_t kocrash_async_thread_state_init(kocrash_async_thread_state* state,
                                                cpu_type_t cpu_type) {
    kocrash_async_memset(state, 0, sizeof(*state));
    if (cpu_type != CPU_TYPE_ARM && cpu_type != CPU_TYPE_ARM64) {
        return KOCRASH_ENOTSUP;
    }
    setLayout(state, cpu_type == CPU_TYPE_ARM);
    state->known_register_mask = 0;
    return KOCRASH_ESUCCESS;
}

void kocrash_async_thread_state_mcontext_init(kocrash_async_thread_state* state,
                                              const ko_mcontext64* context) {
    kocrash_async_memset(state, 0, sizeof(*state));
    setLayout(state, false);
    kocrash_async_memcpy(&state->arm_registers.uts.ts_64, &context->ss, sizeof(context->ss));
    state->known_register_mask = ~std::uint64_t{0};
}

kocrash_error_t kocrash_async_thread_state_mach_thread_init(kocrash_async_thread_state* state,
                                                            thread_t thread) {
    mach_msg_type_number_t count = ARM_UNIFIED_THREAD_STATE_COUNT;
    if (thread_get_state(thread, ARM_THREAD_STATE,
                         reinterpret_cast<thread_state_t>(&state->arm_registers),
                         &count) != KERN_SUCCESS) {
        return KOCRASH_EINTERNAL;
    }
    std::uint32_t flavor = state->arm_registers.ash.flavor;
    if (flavor != ARM_THREAD_STATE64 && flavor != ARM_THREAD_STATE32) {
        return KOCRASH_ENOTSUP;
    }
    setLayout(state, flavor == ARM_THREAD_STATE32);
    state->known_register_mask = ~std::uint64_t{0};
    return KOCRASH_ESUCCESS;
}

void kocrash_async_thread_state_copy(kocrash_async_thread_state* dest,
                                     const kocrash_async_thread_state* source) {
    kocrash_async_memcpy(dest, source, sizeof(*dest));
}

std::uint64_t kocrash_async_thread_state_get_reg_count(const kocrash_async_thread_state* state) {
    return is32Bit(state) ? KOCRASH_ARM_REGISTER_COUNT : KOCRASH_ARM64_REGISTER_COUNT;
}

const char* kocrash_async_thread_state_get_reg_name(const kocrash_async_thread_state* state,
                                                    kocrash_regnum_t regnum) {
    checkRegnum(state, regnum);
    return is32Bit(state) ? kNames32[regnum] : kNames64[regnum];
}

bool kocrash_async_thread_state_has_reg(const kocrash_async_thread_state* state,
                                        kocrash_regnum_t regnum) {
    return (state->known_register_mask >> (regnum % 64) & 1) != 0;
}

kocrash_greg_t kocrash_async_thread_state_get_reg(const kocrash_async_thread_state* state,
                                                  kocrash_regnum_t regnum) {
    checkRegnum(state, regnum);
    auto* mutableState = const_cast<kocrash_async_thread_state*>(state);
    if (is32Bit(state)) {
        return *slot32(mutableState, regnum);
    }
    switch (regnum) {
    case KOCRASH_ARM64_CPSR:
        return state->arm_registers.uts.ts_64.cpsr;
    case KOCRASH_ARM64_PC:
    case KOCRASH_ARM64_FP:
    case KOCRASH_ARM64_SP:
    case KOCRASH_ARM64_LR:
        return *slot64(mutableState, regnum) & kAddressMask;
    default:
        return *slot64(mutableState, regnum);
    }
}

void kocrash_async_thread_state_set_reg(kocrash_async_thread_state* state, kocrash_regnum_t regnum,
                                        kocrash_greg_t value) {
    checkRegnum(state, regnum);
    if (is32Bit(state)) {
        *slot32(state, regnum) = static_cast<std::uint32_t>(value);
    } else if (regnum == KOCRASH_ARM64_CPSR) {
        state->arm_registers.uts.ts_64.cpsr = static_cast<std::uint32_t>(value);
    } else {
        *slot64(state, regnum) = value;
    }
    state->known_register_mask |= std::uint64_t{1} << regnum;
}

void kocrash_async_thread_state_clear_reg(kocrash_async_thread_state* state,
                                          kocrash_regnum_t regnum) {
    state->known_register_mask &= ~(std::uint64_t{1} << (regnum % 64));
}

void kocrash_async_thread_state_clear_all_regs(kocrash_async_thread_state* state) {
    state->known_register_mask = 0;
}

void kocrash_async_thread_state_clear_volatile_regs(kocrash_async_thread_state* state) {
    bool thirtyTwoBit = is32Bit(state);
    std::uint64_t count = kocrash_async_thread_state_get_reg_count(state);
    for (kocrash_regnum_t regnum = 0; regnum < count; ++regnum) {
        bool preserved =
            thirtyTwoBit ? contains(kNonVolatile32, regnum) : contains(kNonVolatile64, regnum);
        if (!preserved) {
            kocrash_async_thread_state_clear_reg(state, regnum);
        }
    }
}

std::uint64_t kocrash_async_thread_state_get_greg_size(const kocrash_async_thread_state* state) {
    return state->greg_size;
}

std::uint32_t
kocrash_async_thread_state_get_stack_direction(const kocrash_async_thread_state* state) {
    return state->stack_direction;
}

namespace {

template <std::size_t Count>
const DwarfPair* findPair(const DwarfPair (&table)[Count], bool byRegnum, std::uint64_t key) {
    for (const DwarfPair& pair : table) {
        if ((byRegnum ? pair.regnum : pair.dwarf) == key) {
            return &pair;
        }
    }
    return nullptr;
}

const DwarfPair* findPair(const kocrash_async_thread_state* state, bool byRegnum,
                          std::uint64_t key) {
    return is32Bit(state) ? findPair(kDwarf32, byRegnum, key) : findPair(kDwarf64, byRegnum, key);
}

} // namespace

bool kocrash_async_thread_state_map_reg_to_dwarf(const kocrash_async_thread_state* state,
                                                 kocrash_regnum_t regnum,
                                                 std::uint64_t* dwarf_reg) {
    const DwarfPair* pair = findPair(state, true, regnum);
    if (pair == nullptr) {
        return false;
    }
    *dwarf_reg = pair->dwarf;
    return true;
}

bool kocrash_async_thread_state_map_dwarf_to_reg(const kocrash_async_thread_state* state,
                                                 std::uint64_t dwarf_reg,
                                                 kocrash_regnum_t* regnum) {
    const DwarfPair* pair = findPair(state, false, dwarf_reg);
    if (pair == nullptr) {
        return false;
    }
    *regnum = pair->regnum;
    return true;
}
