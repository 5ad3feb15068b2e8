// May run at crash time: everything in this file (a fixed stack on the caller's stack, task
// reads, thread-state lookups). All arithmetic is done on the unsigned word, so hostile
// expressions (the most negative word divided by -1, shifts by the width or more) wrap instead
// of trapping.
#include "unwind/KOCrashAsyncDwarfExpression.h"

#include "async/KOCrashAsyncTaskMemory.h"
#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfOpStream.h"

#include <type_traits>

namespace kocrash::async {
namespace {

// Overflow of the stack, or a popping operation with too few entries.
constexpr kocrash_error_t kStackError = KOCRASH_EINTERNAL;

template <typename word, typename signed_word> class Evaluator {
public:
    Evaluator(task_t task, const kocrash_async_thread_state* thread_state, dwarf_opstream* stream)
        : task_(task), thread_state_(thread_state), stream_(stream) {}

    dwarf_stack<word, kDwarfExpressionStackSize>& stack() { return stack_; }

    kocrash_error_t step(std::uint8_t opcode) {
        if (opcode >= DW_OP_lit0 && opcode <= DW_OP_lit31) {
            return push(opcode - DW_OP_lit0);
        }
        if (opcode >= DW_OP_breg0 && opcode <= DW_OP_breg31) {
            return pushRegister(opcode - DW_OP_breg0);
        }
        switch (opcode) {
        case DW_OP_const1u:
            return pushOperand<std::uint8_t>();
        case DW_OP_const1s:
            return pushOperand<std::int8_t>();
        case DW_OP_const2u:
            return pushOperand<std::uint16_t>();
        case DW_OP_const2s:
            return pushOperand<std::int16_t>();
        case DW_OP_const4u:
            return pushOperand<std::uint32_t>();
        case DW_OP_const4s:
            return pushOperand<std::int32_t>();
        case DW_OP_const8u:
            return pushOperand<std::uint64_t>();
        case DW_OP_const8s:
            return pushOperand<std::int64_t>();
        case DW_OP_constu: {
            std::uint64_t value;
            return stream_->read_uleb128(&value) ? push(static_cast<word>(value)) : KOCRASH_EINVAL;
        }
        case DW_OP_consts: {
            std::int64_t value;
            return stream_->read_sleb128(&value)
                       ? push(static_cast<word>(static_cast<std::uint64_t>(value)))
                       : KOCRASH_EINVAL;
        }
        case DW_OP_dup:
            return stack_.dup() ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
        case DW_OP_drop:
            return stack_.drop() ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
        case DW_OP_over:
            return pick(1);
        case DW_OP_pick: {
            std::uint8_t index;
            return stream_->read_intU(&index) ? pick(index) : KOCRASH_EINVAL;
        }
        case DW_OP_swap:
            return stack_.swap() ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
        case DW_OP_rot:
            return stack_.rotate() ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
        case DW_OP_deref:
            return dereference(sizeof(word));
        case DW_OP_deref_size: {
            std::uint8_t size;
            return stream_->read_intU(&size) ? dereference(size) : KOCRASH_EINVAL;
        }
        case DW_OP_xderef:
            return dropAddressSpace() ? dereference(sizeof(word)) : KOCRASH_EINVAL;
        case DW_OP_xderef_size: {
            std::uint8_t size;
            if (!stream_->read_intU(&size) || !dropAddressSpace()) {
                return KOCRASH_EINVAL;
            }
            return dereference(size);
        }
        case DW_OP_abs:
            return unary([](word top) {
                return static_cast<signed_word>(top) < 0 ? static_cast<word>(0 - top) : top;
            });
        case DW_OP_neg:
            return unary([](word top) { return static_cast<word>(0 - top); });
        case DW_OP_not:
            return unary([](word top) { return static_cast<word>(~top); });
        case DW_OP_plus_uconst: {
            std::uint64_t addend;
            if (!stream_->read_uleb128(&addend)) {
                return KOCRASH_EINVAL;
            }
            return unary([addend](word top) { return static_cast<word>(top + addend); });
        }
        case DW_OP_plus:
            return binary([](word second, word top) { return static_cast<word>(second + top); });
        case DW_OP_minus:
            return binary([](word second, word top) { return static_cast<word>(second - top); });
        case DW_OP_mul:
            return binary([](word second, word top) { return static_cast<word>(second * top); });
        case DW_OP_and:
            return binary([](word second, word top) { return static_cast<word>(second & top); });
        case DW_OP_or:
            return binary([](word second, word top) { return static_cast<word>(second | top); });
        case DW_OP_xor:
            return binary([](word second, word top) { return static_cast<word>(second ^ top); });
        case DW_OP_div:
            return divide(true);
        case DW_OP_mod:
            return divide(false);
        case DW_OP_shl:
            return binary(
                [](word second, word top) { return static_cast<word>(second << (top % kBits)); });
        case DW_OP_shr:
            return binary(
                [](word second, word top) { return static_cast<word>(second >> (top % kBits)); });
        case DW_OP_shra:
            return binary([](word second, word top) {
                return static_cast<word>(static_cast<signed_word>(second) >> (top % kBits));
            });
        case DW_OP_eq:
            return compare([](signed_word second, signed_word top) { return second == top; });
        case DW_OP_ne:
            return compare([](signed_word second, signed_word top) { return second != top; });
        case DW_OP_lt:
            return compare([](signed_word second, signed_word top) { return second < top; });
        case DW_OP_le:
            return compare([](signed_word second, signed_word top) { return second <= top; });
        case DW_OP_gt:
            return compare([](signed_word second, signed_word top) { return second > top; });
        case DW_OP_ge:
            return compare([](signed_word second, signed_word top) { return second >= top; });
        case DW_OP_skip:
            return branch(false);
        case DW_OP_bra:
            return branch(true);
        case DW_OP_bregx: {
            std::uint64_t regnum;
            return stream_->read_uleb128(&regnum) ? pushRegister(regnum) : KOCRASH_EINVAL;
        }
        case DW_OP_nop:
            return KOCRASH_ESUCCESS;
        default:
            // Addresses, register locations, frame bases, pieces, calls, TLS, the CFA operation,
            // every later operation and vendor extensions.
            return KOCRASH_ENOTSUP;
        }
    }

private:
    static constexpr word kBits = sizeof(word) * 8;

    kocrash_error_t push(word value) { return stack_.push(value) ? KOCRASH_ESUCCESS : kStackError; }

    template <typename Operand> kocrash_error_t pushOperand() {
        Operand value;
        if (!stream_->read_intU(&value)) {
            return KOCRASH_EINVAL;
        }
        // Signed operands sign-extend through the 64-bit form before being cut to the word.
        using Wide = std::conditional_t<std::is_signed_v<Operand>, std::int64_t, std::uint64_t>;
        return push(static_cast<word>(static_cast<Wide>(value)));
    }

    kocrash_error_t pick(std::size_t index) {
        if (stack_.depth() == kDwarfExpressionStackSize) {
            return kStackError;
        }
        return stack_.pick(index) ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
    }

    // The register is looked up before its offset is read.
    kocrash_error_t pushRegister(std::uint64_t dwarf_register) {
        kocrash_regnum_t regnum;
        if (!kocrash_async_thread_state_map_dwarf_to_reg(thread_state_, dwarf_register, &regnum)) {
            return KOCRASH_ENOTSUP;
        }
        if (!kocrash_async_thread_state_has_reg(thread_state_, regnum)) {
            return KOCRASH_ENOTFOUND;
        }
        std::int64_t offset;
        if (!stream_->read_sleb128(&offset)) {
            return KOCRASH_EINVAL;
        }
        return push(static_cast<word>(kocrash_async_thread_state_get_reg(thread_state_, regnum) +
                                      static_cast<std::uint64_t>(offset)));
    }

    kocrash_error_t dereference(std::uint8_t size) {
        if (size > sizeof(word)) {
            return KOCRASH_EINVAL;
        }
        word address;
        if (!stack_.pop(&address)) {
            return kStackError;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
            return KOCRASH_EINVAL;
        }
        // Zero-extended: the unread high bytes stay 0 on this little-endian host.
        std::uint64_t value = 0;
        kocrash_error_t error = kocrash_async_task_memcpy(task_, address, 0, &value, size);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        return push(static_cast<word>(value));
    }

    // Removes the address-space identifier below the address of the xderef operations.
    bool dropAddressSpace() {
        if (stack_.depth() < 2) {
            return false;
        }
        stack_.swap();
        stack_.drop();
        return true;
    }

    template <typename Operation> kocrash_error_t unary(Operation operation) {
        word top;
        if (!stack_.pop(&top)) {
            return kStackError;
        }
        return push(operation(top));
    }

    template <typename Operation> kocrash_error_t binary(Operation operation) {
        word top;
        word second;
        if (!stack_.pop(&top) || !stack_.pop(&second)) {
            return kStackError;
        }
        return push(operation(second, top));
    }

    template <typename Comparison> kocrash_error_t compare(Comparison comparison) {
        return binary([comparison](word second, word top) {
            return static_cast<word>(
                comparison(static_cast<signed_word>(second), static_cast<signed_word>(top)) ? 1
                                                                                            : 0);
        });
    }

    kocrash_error_t divide(bool isSigned) {
        word top;
        word second;
        if (!stack_.pop(&top) || !stack_.pop(&second)) {
            return kStackError;
        }
        if (top == 0) {
            return KOCRASH_EINVAL;
        }
        if (!isSigned) {
            return push(static_cast<word>(second % top));
        }
        // Dividing by -1 is negation; done unsigned, the most negative word stays itself
        // instead of overflowing.
        if (static_cast<signed_word>(top) == -1) {
            return push(static_cast<word>(0 - second));
        }
        return push(
            static_cast<word>(static_cast<signed_word>(second) / static_cast<signed_word>(top)));
    }

    kocrash_error_t branch(bool conditional) {
        std::int16_t distance;
        if (!stream_->read_intU(&distance)) {
            return KOCRASH_EINVAL;
        }
        if (conditional) {
            word condition;
            if (!stack_.pop(&condition)) {
                return kStackError;
            }
            if (condition == 0) {
                return KOCRASH_ESUCCESS;
            }
        }
        return stream_->skip(distance) ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
    }

    task_t task_;
    const kocrash_async_thread_state* thread_state_;
    dwarf_opstream* stream_;
    dwarf_stack<word, kDwarfExpressionStackSize> stack_;
};

} // namespace

template <typename word, typename signed_word>
kocrash_error_t kocrash_async_dwarf_expression_eval(
    const kocrash_async_mobject* mobj, task_t task, const kocrash_async_thread_state* thread_state,
    const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address, kocrash_vm_off_t offset,
    kocrash_vm_size_t length, const word* initial_entries, std::size_t initial_count,
    word* result) {
    if (length > static_cast<kocrash_vm_size_t>(INT64_MAX)) {
        return KOCRASH_EINVAL;
    }
    dwarf_opstream stream;
    kocrash_error_t error =
        stream.init(mobj, byteorder, address, offset, static_cast<kocrash_vm_off_t>(length));
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    Evaluator<word, signed_word> evaluator(task, thread_state, &stream);
    for (std::size_t index = 0; index < initial_count; ++index) {
        if (!evaluator.stack().push(initial_entries[index])) {
            return kStackError;
        }
    }
    for (std::uint32_t executed = 0; stream.remaining() > 0; ++executed) {
        if (executed == kDwarfExpressionMaxOperations) {
            return KOCRASH_EINVAL;
        }
        std::uint8_t opcode;
        stream.read_intU(&opcode);
        error = evaluator.step(opcode);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
    }
    return evaluator.stack().peek(result) ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
}

template kocrash_error_t kocrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
    const kocrash_async_mobject*, task_t, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_vm_address_t, kocrash_vm_off_t, kocrash_vm_size_t,
    const std::uint32_t*, std::size_t, std::uint32_t*);
template kocrash_error_t kocrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
    const kocrash_async_mobject*, task_t, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_vm_address_t, kocrash_vm_off_t, kocrash_vm_size_t,
    const std::uint64_t*, std::size_t, std::uint64_t*);

} // namespace kocrash::async
