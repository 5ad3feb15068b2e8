// The row of the call-frame table being built for one pc: the rule for the canonical frame
// address (CFA), one rule per register, and a small stack of saved rows for
// DW_CFA_remember_state / DW_CFA_restore_state. The interpreter of call-frame instructions
// fills it (eval_program) and apply_state turns it into the caller's registers. Fixed capacity,
// no allocation: 100 pooled register rules across 6 levels, 14 hash buckets per level. May run
// at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEncoding.h"
#include "unwind/KOCrashAsyncDwarfEntries.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <cstdint>

namespace kocrash::async {

// How a register of the caller is recovered; v is the rule's stored value.
enum kocrash_dwarf_cfa_reg_rule_t : std::uint8_t {
    // Saved at CFA + v (v already multiplied by the data alignment factor).
    DWARF_RULE_OFFSET = 0,
    // The value is CFA + v.
    DWARF_RULE_VAL_OFFSET = 1,
    // The value is that of DWARF register v in the current frame.
    DWARF_RULE_REGISTER = 2,
    // Saved at the address computed by the expression block at target address v (its LEB128
    // length, then the expression).
    DWARF_RULE_EXPRESSION = 3,
    // The value is computed by the expression block at target address v.
    DWARF_RULE_VAL_EXPRESSION = 4,
    // Unchanged from the current frame.
    DWARF_RULE_SAME_VALUE = 5,
};

template <typename word, typename signed_word> class dwarf_cfa_rule {
public:
    enum type_t : std::uint8_t {
        CFA_RULE_TYPE_UNDEFINED = 0,
        CFA_RULE_TYPE_EXPRESSION = 1,
        CFA_RULE_TYPE_REGISTER = 2,
        CFA_RULE_TYPE_REGISTER_SIGNED = 3,
    };

    type_t type() const { return type_; }
    word expression_address() const { return first_; }
    word expression_length() const { return second_; }
    std::uint32_t register_number() const { return static_cast<std::uint32_t>(first_); }
    word register_offset() const { return second_; }
    signed_word register_offset_signed() const { return static_cast<signed_word>(second_); }

    void set_undefined_rule() { *this = {}; }
    void set_register_rule(std::uint32_t regnum, word offset) {
        type_ = CFA_RULE_TYPE_REGISTER;
        first_ = regnum;
        second_ = offset;
    }
    void set_register_rule_signed(std::uint32_t regnum, signed_word offset) {
        type_ = CFA_RULE_TYPE_REGISTER_SIGNED;
        first_ = regnum;
        second_ = static_cast<word>(offset);
    }
    void set_expression_rule(word address, word length) {
        type_ = CFA_RULE_TYPE_EXPRESSION;
        first_ = address;
        second_ = length;
    }

private:
    type_t type_ = CFA_RULE_TYPE_UNDEFINED;
    // Register number or expression address.
    word first_ = 0;
    // Offset (its bits, for the signed kind) or expression length.
    word second_ = 0;
};

template <typename word, typename signed_word> class dwarf_cfa_state_iterator;

template <typename word, typename signed_word> class dwarf_cfa_state {
public:
    static constexpr std::uint8_t max_levels = 6;
    static constexpr std::uint8_t bucket_count = 14;
    static constexpr std::uint8_t entry_count = 100;
    // End of a chain or of the free list; entry indices are bytes.
    static constexpr std::uint8_t end_mark = 0xFF;
    static_assert(entry_count < end_mark);

    // Every entry free, level 0 current and empty, CFA rule undefined.
    dwarf_cfa_state();

    // In the current level: replaces regnum's rule, or takes a free entry for it. False when
    // the pool is exhausted.
    bool set_register(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule, word value);
    // False when the current level has no rule for regnum.
    bool get_register_rule(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t* rule,
                           word* value) const;
    void remove_register(std::uint32_t regnum);
    std::uint8_t get_register_count() const { return register_count_[current_level_]; }

    void set_cfa_register(std::uint32_t regnum, word offset);
    void set_cfa_register_signed(std::uint32_t regnum, signed_word offset);
    void set_cfa_expression(word address, word length);
    dwarf_cfa_rule<word, signed_word> get_cfa_rule() const { return cfa_rules_[current_level_]; }
    // Whether the return address is signed with pointer authentication at this row (64-bit
    // ARM's DW_CFA_AARCH64_negate_ra_state toggles it). Part of the row, so remembered rows
    // bring it back.
    void toggle_return_address_signed() {
        return_address_signed_[current_level_] = !return_address_signed_[current_level_];
    }
    bool return_address_signed() const { return return_address_signed_[current_level_]; }

    // A new current level as an independent copy of the current one. False (nothing changed)
    // at the deepest level or when the pool cannot hold the copy.
    bool push_state();
    // Drops the current level; false at level 0.
    bool pop_state();

    // Runs the call-frame instructions at address + offset (length bytes, inside mobj) into
    // this state until the row for pc is complete; pc 0 runs them all. location starts at
    // initial_pc. reader (may be null) decodes DW_CFA_set_loc operands. 0; 3 when the pool or
    // the level stack is exhausted; 4 for refused instructions, register numbers over 32 bits,
    // DW_CFA_set_loc with a segment size, negative block lengths; 5 for malformed or truncated
    // instructions and CFA changes without a register CFA.
    kocrash_error_t eval_program(const kocrash_async_mobject* mobj, word pc, word initial_pc,
                                 const kocrash_async_dwarf_cie_info* cie,
                                 const gnu_ehptr_reader<word>* reader,
                                 const kocrash_async_byteorder* byteorder,
                                 kocrash_vm_address_t address, kocrash_vm_off_t offset,
                                 kocrash_vm_size_t length);

    // Derives the caller's registers from the current frame's: the CFA becomes the caller's
    // sp, saved registers are read from the task, expressions are evaluated. 0; 5 for an
    // undefined CFA or an unmappable register a rule depends on; 4 for an unmappable CFA
    // register; 8 when a register a rule needs is not known in the current frame; task read
    // and expression codes pass through. On failure new_thread_state may be partly written.
    kocrash_error_t apply_state(task_t task, const kocrash_async_dwarf_cie_info* cie,
                                const kocrash_async_thread_state* thread_state,
                                const kocrash_async_byteorder* byteorder,
                                kocrash_async_thread_state* new_thread_state) const;

private:
    friend class dwarf_cfa_state_iterator<word, signed_word>;

    struct entry {
        word value;
        std::uint32_t regnum;
        kocrash_dwarf_cfa_reg_rule_t rule;
        // Next entry of the same chain, or of the free list.
        std::uint8_t next;
    };

    // An empty level: no rules, an undefined CFA. Holds no entries.
    void clear_level(std::uint8_t level);
    std::uint8_t find_entry(std::uint8_t level, std::uint32_t regnum) const;
    bool append_entry(std::uint8_t level, std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule,
                      word value);
    void release_level(std::uint8_t level);

    dwarf_cfa_rule<word, signed_word> cfa_rules_[max_levels];
    bool return_address_signed_[max_levels];
    std::uint8_t register_count_[max_levels];
    std::uint8_t bucket_heads_[max_levels][bucket_count];
    std::uint8_t current_level_;
    // Released entries; entries from unused_ on have never been handed out.
    std::uint8_t free_list_;
    std::uint8_t unused_;
    entry entries_[entry_count];
};

// Walks the current level's rules: buckets 0 to 13 in order, each chain from its head.
template <typename word, typename signed_word> class dwarf_cfa_state_iterator {
public:
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<word, signed_word>* state);
    // False when exhausted.
    bool next(std::uint32_t* regnum, kocrash_dwarf_cfa_reg_rule_t* rule, word* value);

private:
    const dwarf_cfa_state<word, signed_word>* state_;
    std::uint8_t bucket_;
    std::uint8_t entry_;
};

extern template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
extern template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
extern template class dwarf_cfa_state_iterator<std::uint32_t, std::int32_t>;
extern template class dwarf_cfa_state_iterator<std::uint64_t, std::int64_t>;

} // namespace kocrash::async
