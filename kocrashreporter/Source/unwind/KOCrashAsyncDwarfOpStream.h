// A bounded reader over one range of a memory object, from which the call-frame interpreter
// and the expression evaluator take opcodes and operands. Every read checks its bytes against
// the end of the range before touching them. May run at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "unwind/KOCrashAsyncDwarfEncoding.h"

#include <cstdint>

namespace kocrash::async {

class dwarf_opstream {
public:
    // The range is address + offset for length bytes and must lie wholly inside the object.
    // 0; 5 for a negative length, an overflowing address or a range outside the object.
    kocrash_error_t init(const kocrash_async_mobject* mobj,
                         const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address,
                         kocrash_vm_off_t offset, kocrash_vm_off_t length);

    // Fixed-width values of 8 to 64 bits, signed or unsigned, through the byte order. False
    // (nothing consumed) when fewer than sizeof(T) bytes remain.
    template <typename T> bool read_intU(T* value);
    bool read_uleb128(std::uint64_t* value);
    bool read_sleb128(std::int64_t* value);
    template <typename word>
    bool read_gnueh_ptr(const gnu_ehptr_reader<word>* reader, std::uint8_t encoding, word* value);

    // Moves by count when the result stays inside the range; false and unchanged otherwise.
    bool skip(std::int64_t count);

    // Offset of the next byte from the range's start.
    kocrash_vm_size_t get_position() const {
        return static_cast<kocrash_vm_size_t>(p_ - range_start_);
    }
    kocrash_vm_size_t remaining() const { return static_cast<kocrash_vm_size_t>(range_end_ - p_); }
    // Target address of the range's first byte.
    kocrash_vm_address_t get_start() const { return start_; }

private:
    const std::uint8_t* p_;
    const kocrash_async_mobject* mobj_;
    kocrash_vm_address_t start_;
    const std::uint8_t* range_start_;
    const std::uint8_t* range_end_;
    const kocrash_async_byteorder* byteorder_;
};

extern template bool dwarf_opstream::read_intU<std::uint8_t>(std::uint8_t*);
extern template bool dwarf_opstream::read_intU<std::int8_t>(std::int8_t*);
extern template bool dwarf_opstream::read_intU<std::uint16_t>(std::uint16_t*);
extern template bool dwarf_opstream::read_intU<std::int16_t>(std::int16_t*);
extern template bool dwarf_opstream::read_intU<std::uint32_t>(std::uint32_t*);
extern template bool dwarf_opstream::read_intU<std::int32_t>(std::int32_t*);
extern template bool dwarf_opstream::read_intU<std::uint64_t>(std::uint64_t*);
extern template bool dwarf_opstream::read_intU<std::int64_t>(std::int64_t*);
extern template bool
dwarf_opstream::read_gnueh_ptr<std::uint32_t>(const gnu_ehptr_reader<std::uint32_t>*, std::uint8_t,
                                              std::uint32_t*);
extern template bool
dwarf_opstream::read_gnueh_ptr<std::uint64_t>(const gnu_ehptr_reader<std::uint64_t>*, std::uint8_t,
                                              std::uint64_t*);

} // namespace kocrash::async
