// The Mach-O file format as the loader and the crash reporter read it: headers, the load
// commands they use, symbol table records and the compact unwind section, with the numeric
// values the format fixes.
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

inline constexpr std::uint32_t MH_MAGIC = 0xfeedface;
inline constexpr std::uint32_t MH_CIGAM = 0xcefaedfe;
inline constexpr std::uint32_t MH_MAGIC_64 = 0xfeedfacf;
inline constexpr std::uint32_t MH_CIGAM_64 = 0xcffaedfe;
// Universal files bundle several images; they are files, never loaded images.
inline constexpr std::uint32_t FAT_MAGIC = 0xcafebabe;
inline constexpr std::uint32_t FAT_CIGAM = 0xbebafeca;

inline constexpr std::uint32_t MH_EXECUTE = 0x2;
inline constexpr std::uint32_t MH_DYLIB = 0x6;

inline constexpr cpu_subtype_t CPU_SUBTYPE_ARM64_ALL = 0;
inline constexpr cpu_subtype_t CPU_SUBTYPE_X86_64_ALL = 3;

struct mach_header {
    std::uint32_t magic;
    cpu_type_t cputype;
    cpu_subtype_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};

struct mach_header_64 {
    std::uint32_t magic;
    cpu_type_t cputype;
    cpu_subtype_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
    std::uint32_t reserved;
};

inline constexpr std::uint32_t LC_SEGMENT = 0x1;
inline constexpr std::uint32_t LC_SYMTAB = 0x2;
inline constexpr std::uint32_t LC_DYSYMTAB = 0xb;
inline constexpr std::uint32_t LC_SEGMENT_64 = 0x19;
inline constexpr std::uint32_t LC_UUID = 0x1b;
inline constexpr std::uint32_t LC_REQ_DYLD = 0x80000000;
inline constexpr std::uint32_t LC_DYLD_INFO = 0x22;
inline constexpr std::uint32_t LC_DYLD_INFO_ONLY = 0x22 | LC_REQ_DYLD;

struct load_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
};

inline constexpr vm_prot_t VM_PROT_READ_EXECUTE = VM_PROT_READ | VM_PROT_EXECUTE;

struct segment_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    char segname[16];
    std::uint32_t vmaddr;
    std::uint32_t vmsize;
    std::uint32_t fileoff;
    std::uint32_t filesize;
    vm_prot_t maxprot;
    vm_prot_t initprot;
    std::uint32_t nsects;
    std::uint32_t flags;
};

struct segment_command_64 {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    char segname[16];
    std::uint64_t vmaddr;
    std::uint64_t vmsize;
    std::uint64_t fileoff;
    std::uint64_t filesize;
    vm_prot_t maxprot;
    vm_prot_t initprot;
    std::uint32_t nsects;
    std::uint32_t flags;
};

struct section {
    char sectname[16];
    char segname[16];
    std::uint32_t addr;
    std::uint32_t size;
    std::uint32_t offset;
    std::uint32_t align;
    std::uint32_t reloff;
    std::uint32_t nreloc;
    std::uint32_t flags;
    std::uint32_t reserved1;
    std::uint32_t reserved2;
};

struct section_64 {
    char sectname[16];
    char segname[16];
    std::uint64_t addr;
    std::uint64_t size;
    std::uint32_t offset;
    std::uint32_t align;
    std::uint32_t reloff;
    std::uint32_t nreloc;
    std::uint32_t flags;
    std::uint32_t reserved1;
    std::uint32_t reserved2;
    std::uint32_t reserved3;
};

inline constexpr std::uint32_t S_ATTR_PURE_INSTRUCTIONS = 0x80000000;
inline constexpr std::uint32_t S_ATTR_SOME_INSTRUCTIONS = 0x00000400;

struct symtab_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    std::uint32_t symoff;
    std::uint32_t nsyms;
    std::uint32_t stroff;
    std::uint32_t strsize;
};

struct dysymtab_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    std::uint32_t ilocalsym;
    std::uint32_t nlocalsym;
    std::uint32_t iextdefsym;
    std::uint32_t nextdefsym;
    std::uint32_t iundefsym;
    std::uint32_t nundefsym;
    std::uint32_t tocoff;
    std::uint32_t ntoc;
    std::uint32_t modtaboff;
    std::uint32_t nmodtab;
    std::uint32_t extrefsymoff;
    std::uint32_t nextrefsyms;
    std::uint32_t indirectsymoff;
    std::uint32_t nindirectsyms;
    std::uint32_t extreloff;
    std::uint32_t nextrel;
    std::uint32_t locreloff;
    std::uint32_t nlocrel;
};

struct uuid_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    std::uint8_t uuid[16];
};

struct dyld_info_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
    std::uint32_t rebase_off;
    std::uint32_t rebase_size;
    std::uint32_t bind_off;
    std::uint32_t bind_size;
    std::uint32_t weak_bind_off;
    std::uint32_t weak_bind_size;
    std::uint32_t lazy_bind_off;
    std::uint32_t lazy_bind_size;
    std::uint32_t export_off;
    std::uint32_t export_size;
};

inline constexpr std::uint8_t REBASE_TYPE_POINTER = 1;
inline constexpr std::uint8_t REBASE_OPCODE_MASK = 0xf0;
inline constexpr std::uint8_t REBASE_IMMEDIATE_MASK = 0x0f;
inline constexpr std::uint8_t REBASE_OPCODE_DONE = 0x00;
inline constexpr std::uint8_t REBASE_OPCODE_SET_TYPE_IMM = 0x10;
inline constexpr std::uint8_t REBASE_OPCODE_SET_SEGMENT_AND_OFFSET_ULEB = 0x20;
inline constexpr std::uint8_t REBASE_OPCODE_ADD_ADDR_ULEB = 0x30;
inline constexpr std::uint8_t REBASE_OPCODE_ADD_ADDR_IMM_SCALED = 0x40;
inline constexpr std::uint8_t REBASE_OPCODE_DO_REBASE_IMM_TIMES = 0x50;
inline constexpr std::uint8_t REBASE_OPCODE_DO_REBASE_ULEB_TIMES = 0x60;
inline constexpr std::uint8_t REBASE_OPCODE_DO_REBASE_ADD_ADDR_ULEB = 0x70;
inline constexpr std::uint8_t REBASE_OPCODE_DO_REBASE_ULEB_TIMES_SKIPPING_ULEB = 0x80;

struct nlist {
    std::uint32_t n_strx;
    std::uint8_t n_type;
    std::uint8_t n_sect;
    std::int16_t n_desc;
    std::uint32_t n_value;
};

struct nlist_64 {
    std::uint32_t n_strx;
    std::uint8_t n_type;
    std::uint8_t n_sect;
    std::uint16_t n_desc;
    std::uint64_t n_value;
};

// n_type: debugging entries have any of these bits set.
inline constexpr std::uint8_t N_STAB = 0xe0;
inline constexpr std::uint8_t N_PEXT = 0x10;
inline constexpr std::uint8_t N_TYPE = 0x0e;
inline constexpr std::uint8_t N_EXT = 0x01;
inline constexpr std::uint8_t N_UNDF = 0x0;
inline constexpr std::uint8_t N_SECT = 0xe;
// n_desc: the symbol is Thumb code, so its address carries bit 0 when called.
inline constexpr std::uint16_t N_ARM_THUMB_DEF = 0x0008;

// The compact unwind section (__TEXT,__unwind_info).
struct unwind_info_section_header {
    std::uint32_t version;
    std::uint32_t commonEncodingsArraySectionOffset;
    std::uint32_t commonEncodingsArrayCount;
    std::uint32_t personalityArraySectionOffset;
    std::uint32_t personalityArrayCount;
    std::uint32_t indexSectionOffset;
    std::uint32_t indexCount;
};

inline constexpr std::uint32_t UNWIND_SECTION_VERSION = 1;
inline constexpr std::uint32_t UNWIND_SECOND_LEVEL_REGULAR = 2;
inline constexpr std::uint32_t UNWIND_SECOND_LEVEL_COMPRESSED = 3;

struct unwind_info_section_header_index_entry {
    std::uint32_t functionOffset;
    std::uint32_t secondLevelPagesSectionOffset;
    std::uint32_t lsdaIndexArraySectionOffset;
};

struct unwind_info_regular_second_level_entry {
    std::uint32_t functionOffset;
    std::uint32_t encoding;
};

struct unwind_info_regular_second_level_page_header {
    std::uint32_t kind;
    std::uint16_t entryPageOffset;
    std::uint16_t entryCount;
};

struct unwind_info_compressed_second_level_page_header {
    std::uint32_t kind;
    std::uint16_t entryPageOffset;
    std::uint16_t entryCount;
    std::uint16_t encodingsPageOffset;
    std::uint16_t encodingsCount;
};

inline constexpr std::uint32_t UNWIND_MODE_MASK = 0x0f000000;

inline constexpr std::uint32_t UNWIND_ARM64_MODE_FRAMELESS = 0x02000000;
inline constexpr std::uint32_t UNWIND_ARM64_MODE_DWARF = 0x03000000;
inline constexpr std::uint32_t UNWIND_ARM64_MODE_FRAME = 0x04000000;
inline constexpr std::uint32_t UNWIND_ARM64_FRAME_X19_X20_PAIR = 0x00000001;
inline constexpr std::uint32_t UNWIND_ARM64_FRAME_X21_X22_PAIR = 0x00000002;
inline constexpr std::uint32_t UNWIND_ARM64_FRAME_X23_X24_PAIR = 0x00000004;
inline constexpr std::uint32_t UNWIND_ARM64_FRAME_X25_X26_PAIR = 0x00000008;
inline constexpr std::uint32_t UNWIND_ARM64_FRAME_X27_X28_PAIR = 0x00000010;
inline constexpr std::uint32_t UNWIND_ARM64_FRAMELESS_STACK_SIZE_MASK = 0x00fff000;
inline constexpr std::uint32_t UNWIND_ARM64_DWARF_SECTION_OFFSET = 0x00ffffff;

inline constexpr std::uint32_t UNWIND_X86_64_MODE_RBP_FRAME = 0x01000000;
inline constexpr std::uint32_t UNWIND_X86_64_MODE_STACK_IMMD = 0x02000000;
inline constexpr std::uint32_t UNWIND_X86_64_MODE_STACK_IND = 0x03000000;
inline constexpr std::uint32_t UNWIND_X86_64_MODE_DWARF = 0x04000000;
inline constexpr std::uint32_t UNWIND_X86_64_RBP_FRAME_REGISTERS = 0x00007fff;
inline constexpr std::uint32_t UNWIND_X86_64_RBP_FRAME_OFFSET = 0x00ff0000;
inline constexpr std::uint32_t UNWIND_X86_64_FRAMELESS_STACK_SIZE = 0x00ff0000;
inline constexpr std::uint32_t UNWIND_X86_64_FRAMELESS_STACK_ADJUST = 0x0000e000;
inline constexpr std::uint32_t UNWIND_X86_64_FRAMELESS_STACK_REG_COUNT = 0x00001c00;
inline constexpr std::uint32_t UNWIND_X86_64_FRAMELESS_STACK_REG_PERMUTATION = 0x000003ff;
inline constexpr std::uint32_t UNWIND_X86_64_DWARF_SECTION_OFFSET = 0x00ffffff;

} // extern "C"
