// May run at crash time: everything in this file (fixed storage of the caller, no calls out).
#include "unwind/KOCrashAsyncDwarfCFAState.h"

namespace kocrash::async {

template <typename word, typename signed_word>
dwarf_cfa_state<word, signed_word>::dwarf_cfa_state() {
    // Deeper levels are cleared when a remembered state takes them.
    clear_level(0);
    current_level_ = 0;
    // Entries are handed out in order and only released ones are chained: a state made for one
    // frame step touches only the few entries its programs use.
    free_list_ = end_mark;
    unused_ = 0;
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::clear_level(std::uint8_t level) {
    cfa_rules_[level].set_undefined_rule();
    return_address_signed_[level] = false;
    register_count_[level] = 0;
    for (std::uint8_t bucket = 0; bucket < bucket_count; ++bucket) {
        bucket_heads_[level][bucket] = end_mark;
    }
}

template <typename word, typename signed_word>
std::uint8_t dwarf_cfa_state<word, signed_word>::find_entry(std::uint8_t level,
                                                            std::uint32_t regnum) const {
    for (std::uint8_t index = bucket_heads_[level][regnum % bucket_count]; index != end_mark;
         index = entries_[index].next) {
        if (entries_[index].regnum == regnum) {
            return index;
        }
    }
    return end_mark;
}

template <typename word, typename signed_word>
bool dwarf_cfa_state<word, signed_word>::append_entry(std::uint8_t level, std::uint32_t regnum,
                                                      kocrash_dwarf_cfa_reg_rule_t rule,
                                                      word value) {
    std::uint8_t index;
    if (free_list_ != end_mark) {
        index = free_list_;
        free_list_ = entries_[index].next;
    } else if (unused_ < entry_count) {
        index = unused_++;
    } else {
        return false;
    }
    entries_[index] = {value, regnum, rule, end_mark};

    std::uint8_t* link = &bucket_heads_[level][regnum % bucket_count];
    while (*link != end_mark) {
        link = &entries_[*link].next;
    }
    *link = index;
    ++register_count_[level];
    return true;
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::release_level(std::uint8_t level) {
    for (std::uint8_t bucket = 0; bucket < bucket_count; ++bucket) {
        std::uint8_t index = bucket_heads_[level][bucket];
        while (index != end_mark) {
            std::uint8_t next = entries_[index].next;
            entries_[index].next = free_list_;
            free_list_ = index;
            index = next;
        }
        bucket_heads_[level][bucket] = end_mark;
    }
    register_count_[level] = 0;
}

template <typename word, typename signed_word>
bool dwarf_cfa_state<word, signed_word>::set_register(std::uint32_t regnum,
                                                      kocrash_dwarf_cfa_reg_rule_t rule,
                                                      word value) {
    std::uint8_t index = find_entry(current_level_, regnum);
    if (index != end_mark) {
        entries_[index].rule = rule;
        entries_[index].value = value;
        return true;
    }
    return append_entry(current_level_, regnum, rule, value);
}

template <typename word, typename signed_word>
bool dwarf_cfa_state<word, signed_word>::get_register_rule(std::uint32_t regnum,
                                                           kocrash_dwarf_cfa_reg_rule_t* rule,
                                                           word* value) const {
    std::uint8_t index = find_entry(current_level_, regnum);
    if (index == end_mark) {
        return false;
    }
    *rule = entries_[index].rule;
    *value = entries_[index].value;
    return true;
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::remove_register(std::uint32_t regnum) {
    std::uint8_t* link = &bucket_heads_[current_level_][regnum % bucket_count];
    while (*link != end_mark) {
        std::uint8_t index = *link;
        if (entries_[index].regnum == regnum) {
            *link = entries_[index].next;
            entries_[index].next = free_list_;
            free_list_ = index;
            --register_count_[current_level_];
            return;
        }
        link = &entries_[index].next;
    }
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::set_cfa_register(std::uint32_t regnum, word offset) {
    cfa_rules_[current_level_].set_register_rule(regnum, offset);
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::set_cfa_register_signed(std::uint32_t regnum,
                                                                 signed_word offset) {
    cfa_rules_[current_level_].set_register_rule_signed(regnum, offset);
}

template <typename word, typename signed_word>
void dwarf_cfa_state<word, signed_word>::set_cfa_expression(word address, word length) {
    cfa_rules_[current_level_].set_expression_rule(address, length);
}

template <typename word, typename signed_word>
bool dwarf_cfa_state<word, signed_word>::push_state() {
    if (current_level_ + 1 >= max_levels) {
        return false;
    }
    const std::uint8_t from = current_level_;
    const std::uint8_t to = from + 1;
    clear_level(to);
    for (std::uint8_t bucket = 0; bucket < bucket_count; ++bucket) {
        for (std::uint8_t index = bucket_heads_[from][bucket]; index != end_mark;
             index = entries_[index].next) {
            const entry& source = entries_[index];
            if (!append_entry(to, source.regnum, source.rule, source.value)) {
                release_level(to);
                return false;
            }
        }
    }
    cfa_rules_[to] = cfa_rules_[from];
    return_address_signed_[to] = return_address_signed_[from];
    current_level_ = to;
    return true;
}

template <typename word, typename signed_word>
bool dwarf_cfa_state<word, signed_word>::pop_state() {
    if (current_level_ == 0) {
        return false;
    }
    release_level(current_level_);
    cfa_rules_[current_level_].set_undefined_rule();
    return_address_signed_[current_level_] = false;
    --current_level_;
    return true;
}

template <typename word, typename signed_word>
dwarf_cfa_state_iterator<word, signed_word>::dwarf_cfa_state_iterator(
    const dwarf_cfa_state<word, signed_word>* state)
    : state_(state), bucket_(0), entry_(state->bucket_heads_[state->current_level_][0]) {}

template <typename word, typename signed_word>
bool dwarf_cfa_state_iterator<word, signed_word>::next(std::uint32_t* regnum,
                                                       kocrash_dwarf_cfa_reg_rule_t* rule,
                                                       word* value) {
    using state_type = dwarf_cfa_state<word, signed_word>;
    while (entry_ == state_type::end_mark) {
        if (++bucket_ >= state_type::bucket_count) {
            bucket_ = state_type::bucket_count;
            return false;
        }
        entry_ = state_->bucket_heads_[state_->current_level_][bucket_];
    }
    const auto& found = state_->entries_[entry_];
    *regnum = found.regnum;
    *rule = found.rule;
    *value = found.value;
    entry_ = found.next;
    return true;
}

template class dwarf_cfa_state<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state<std::uint64_t, std::int64_t>;
template class dwarf_cfa_state_iterator<std::uint32_t, std::int32_t>;
template class dwarf_cfa_state_iterator<std::uint64_t, std::int64_t>;

} // namespace kocrash::async
