// Decoder of pointers in the GNU exception-handling encodings (DW_EH_PE_*): value formats,
// applications (absolute, pc-relative, relative to a text, data, function or aligned base) and
// indirection, over a 32-bit or a 64-bit machine word. May run at crash time: everything
// declared here (memory-object lookups and task reads into caller storage).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"

#include <cstdint>

namespace kocrash::async {

template <typename word> class gnu_ehptr_reader {
public:
    // No base is set: the applications that need one fail with 4 until it is.
    explicit gnu_ehptr_reader(const kocrash_async_byteorder* byteorder);

    // base: where the section is read (the address its memory object maps); image_address:
    // the section's address in the image's own address space.
    void set_frame_section_base(word base, word image_address);
    void set_text_base(word value);
    void set_data_base(word value);
    void set_func_base(word value);

    const kocrash_async_byteorder* byteorder() const { return byteorder_; }

    // Decodes the pointer at location + offset. size is written first and receives the bytes
    // consumed, alignment padding included. 0; 8 for DW_EH_PE_omit; 4 for an application or
    // format that is unsupported or lacks its base; 5 for bytes outside the object or an
    // overflowing address; an indirect read returns the task read's code.
    kocrash_error_t read(const kocrash_async_mobject* mobj, kocrash_vm_address_t location,
                         kocrash_vm_off_t offset, std::uint8_t encoding, word* result,
                         kocrash_vm_size_t* size) const;

private:
    struct optional_word {
        bool valid;
        word value;
    };
    struct frame_section {
        bool valid;
        word base;
        word image_address;
    };

    const kocrash_async_byteorder* byteorder_;
    frame_section frame_section_;
    optional_word text_base_;
    optional_word data_base_;
    optional_word func_base_;
};

extern template class gnu_ehptr_reader<std::uint32_t>;
extern template class gnu_ehptr_reader<std::uint64_t>;

} // namespace kocrash::async
