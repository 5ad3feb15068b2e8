// Mapped strings over real memory: strings that fit the first page, that need it to grow, that
// run into unmapped memory, that exceed the mapping cap, and the empty string.
#include "images/KOCrashAsyncMachOString.h"

#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using platform::mach::mach_task_self;

namespace {

std::size_t page() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Pages filled with 'x', followed by one unmapped page.
class Characters {
public:
    explicit Characters(std::size_t pages) : pages_(pages) {
        void* memory = mmap(nullptr, (pages + 1) * page(), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<char*>(memory);
        std::memset(base_, 'x', pages * page());
        munmap(base_ + pages * page(), page());
    }
    ~Characters() { munmap(base_, pages_ * page()); }
    Characters(const Characters&) = delete;
    Characters& operator=(const Characters&) = delete;

    char* at(std::size_t offset) const { return base_ + offset; }

private:
    std::size_t pages_;
    char* base_;
};

class MappedString : public ::testing::Test {
protected:
    MappedString() { image_.task = mach_task_self(); }

    kocrash_error_t read(const char* address, std::string* text) {
        kocrash_async_macho_string string;
        kocrash_async_macho_string_init(&string, &image_,
                                        reinterpret_cast<std::uintptr_t>(address));
        kocrash_vm_size_t length = 0;
        kocrash_error_t error = kocrash_async_macho_string_get_length(&string, &length);
        const char* pointer = nullptr;
        if (error == KOCRASH_ESUCCESS) {
            error = kocrash_async_macho_string_get_pointer(&string, &pointer);
        }
        if (error == KOCRASH_ESUCCESS) {
            text->assign(pointer, length);
            EXPECT_EQ(pointer[length], '\0');
        }
        kocrash_async_macho_string_free(&string);
        return error;
    }

    kocrash_async_macho image_{};
};

} // namespace

TEST_F(MappedString, ShortAndEmptyStringsAreFoundInTheFirstPage) {
    static const char name[] = "_kocrash_symbol_name";
    static const char empty[] = "";
    std::string text = "stale";
    ASSERT_EQ(read(name, &text), 0u);
    EXPECT_EQ(text, name);
    ASSERT_EQ(read(empty, &text), 0u);
    EXPECT_EQ(text, "");
}

TEST_F(MappedString, AStringWhoseTerminatorLiesJustPastThePageGrowsTheMappingOnce) {
    Characters characters(3);
    char* start = characters.at(100);
    start[page()] = '\0';
    std::string text;
    ASSERT_EQ(read(start, &text), 0u);
    EXPECT_EQ(text, std::string(page(), 'x'));
}

TEST_F(MappedString, AStringThatRunsIntoUnmappedMemoryIsInvalid) {
    Characters characters(2);
    std::string text;
    EXPECT_EQ(read(characters.at(page() + 10), &text), KOCRASH_EINVAL);
    EXPECT_EQ(read(characters.at(2 * page()), &text), KOCRASH_ENOMEM)
        << "not even one page readable";
}

TEST_F(MappedString, TheMappingStopsGrowingAtItsCap) {
    std::size_t cap = KOCRASH_ASYNC_MACHO_STRING_MAX_MAPPING;
    Characters characters(cap / page() + 4);
    std::string text;

    characters.at(0)[cap + page()] = '\0';
    EXPECT_EQ(read(characters.at(0), &text), KOCRASH_EINVAL);

    characters.at(0)[cap - page()] = '\0';
    ASSERT_EQ(read(characters.at(0), &text), 0u);
    EXPECT_EQ(text.size(), cap - page());
}
