#include "platform/dyld/ElfFile.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <span>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::dyld {
namespace {

class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        struct stat status {};
        if (fstat(fd, &status) == 0 && status.st_size > 0) {
            void* bytes = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ,
                               MAP_PRIVATE, fd, 0);
            if (bytes != MAP_FAILED) {
                bytes_ = {static_cast<const std::uint8_t*>(bytes),
                          static_cast<std::size_t>(status.st_size)};
            }
        }
        close(fd);
    }
    ~MappedFile() {
        if (!bytes_.empty()) {
            munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    std::span<const std::uint8_t> bytes_;
};

template <typename T>
std::optional<T> readAt(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    return value;
}

std::optional<std::span<const std::uint8_t>> sectionBytes(std::span<const std::uint8_t> file,
                                                          const Elf64_Shdr& section) {
    if (section.sh_type == SHT_NOBITS || section.sh_offset > file.size() ||
        section.sh_size > file.size() - section.sh_offset) {
        return std::nullopt;
    }
    return file.subspan(section.sh_offset, section.sh_size);
}

std::vector<ElfFunctionSymbol> functionsOf(std::span<const std::uint8_t> symbols,
                                           std::span<const std::uint8_t> strings) {
    std::vector<ElfFunctionSymbol> functions;
    for (std::size_t at = 0; at + sizeof(Elf64_Sym) <= symbols.size(); at += sizeof(Elf64_Sym)) {
        auto symbol = *readAt<Elf64_Sym>(symbols, at);
        unsigned type = ELF64_ST_TYPE(symbol.st_info);
        unsigned binding = ELF64_ST_BIND(symbol.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_value == 0 || symbol.st_name >= strings.size()) {
            continue;
        }
        const char* name = reinterpret_cast<const char*>(strings.data() + symbol.st_name);
        std::size_t length = strnlen(name, strings.size() - symbol.st_name);
        if (length == 0 || length == strings.size() - symbol.st_name) {
            continue;
        }
        functions.push_back({std::string(name, length), symbol.st_value, binding != STB_LOCAL});
    }
    return functions;
}

} // namespace

std::optional<ElfFileContents> readElfFile(const std::string& path) {
    MappedFile mapped(path);
    std::span<const std::uint8_t> file = mapped.bytes();
    auto header = readAt<Elf64_Ehdr>(file, 0);
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(Elf64_Shdr)) {
        return std::nullopt;
    }
    std::vector<Elf64_Shdr> sections;
    for (std::uint16_t index = 0; index < header->e_shnum; ++index) {
        auto section = readAt<Elf64_Shdr>(file, header->e_shoff + index * sizeof(Elf64_Shdr));
        if (!section) {
            return std::nullopt;
        }
        sections.push_back(*section);
    }
    ElfFileContents contents;
    auto names = header->e_shstrndx < sections.size()
                     ? sectionBytes(file, sections[header->e_shstrndx])
                     : std::nullopt;
    const Elf64_Shdr* symbolTable = nullptr;
    for (const auto& section : sections) {
        if (section.sh_type == SHT_SYMTAB ||
            (section.sh_type == SHT_DYNSYM && symbolTable == nullptr)) {
            symbolTable = &section;
        }
        if (names && section.sh_name < names->size() &&
            std::strncmp(reinterpret_cast<const char*>(names->data() + section.sh_name),
                         ".eh_frame", names->size() - section.sh_name) == 0) {
            contents.ehFrame = ElfSectionRange{section.sh_addr, section.sh_size};
        }
    }
    if (symbolTable != nullptr && symbolTable->sh_link < sections.size()) {
        auto symbols = sectionBytes(file, *symbolTable);
        auto strings = sectionBytes(file, sections[symbolTable->sh_link]);
        if (symbols && strings) {
            contents.functions = functionsOf(*symbols, *strings);
        }
    }
    return contents;
}

} // namespace platform::dyld
