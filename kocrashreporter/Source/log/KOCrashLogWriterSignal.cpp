// May run at crash time: everything in this file (table lookups, integer formatting into stack
// buffers, field packing).
#include "log/KOCrashLogWriterSections.h"

namespace {

// "#" and the longest 32-bit value, "-2147483648", and the terminator.
constexpr std::size_t kNumberNameCapacity = 13;

// "#" and the decimal value: a name for numbers the tables do not know.
const char* number_name(std::int32_t value, char (&buffer)[kNumberNameCapacity]) {
    // Unsigned magnitude, so the most negative value does not overflow when negated.
    std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    char digits[10];
    std::size_t digit_count = 0;
    do {
        digits[digit_count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::size_t length = 0;
    buffer[length++] = '#';
    if (value < 0) {
        buffer[length++] = '-';
    }
    while (digit_count > 0) {
        buffer[length++] = digits[--digit_count];
    }
    buffer[length] = '\0';
    return buffer;
}

} // namespace

std::size_t kocrash_writer_write_signal(kocrash_async_file* file,
                                        const kocrash_log_signal_info* signal_info) {
    const kocrash_async_signal_info* bsd = signal_info->bsd_info;
    char signal_buffer[kNumberNameCapacity];
    char code_buffer[kNumberNameCapacity];
    const char* name = kocrash_async_signal_signame(bsd->signo);
    const char* code = kocrash_async_signal_sigcode(bsd->signo, bsd->code);
    std::size_t size =
        kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_STRING,
                            name != nullptr ? name : number_name(bsd->signo, signal_buffer));
    size += kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_STRING,
                                code != nullptr ? code : number_name(bsd->code, code_buffer));
    size += kocrash_writer_pack(file, 3, KOCRASH_WRITER_TYPE_UINT64, &bsd->address);
    if (const kocrash_log_mach_signal_info* mach = signal_info->mach_info) {
        size += kocrash_writer_pack_message(file, 4, [mach](kocrash_async_file* out) {
            return kocrash_writer_write_mach_signal(out, mach);
        });
    }
    return size;
}

std::size_t kocrash_writer_write_mach_signal(kocrash_async_file* file,
                                             const kocrash_log_mach_signal_info* mach_info) {
    const auto type = static_cast<std::uint64_t>(mach_info->type);
    std::size_t size = kocrash_writer_pack(file, 1, KOCRASH_WRITER_TYPE_UINT64, &type);
    for (mach_msg_type_number_t index = 0; index < mach_info->code_count; ++index) {
        const auto code = static_cast<std::uint64_t>(mach_info->code[index]);
        size += kocrash_writer_pack(file, 2, KOCRASH_WRITER_TYPE_UINT64, &code);
    }
    return size;
}
