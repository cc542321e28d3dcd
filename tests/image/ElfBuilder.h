// Builds small ELF files byte by byte for the image loader's tests: either class, either byte
// order, program headers as given (linkers write executables with PT_LOAD segments; objcopy
// cannot make one from a binary), data after the headers in the order of the segments.
#pragma once

#include <elf.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::testing {

struct ElfSegment {
  uint32_t type = PT_LOAD;
  uint64_t physicalAddress = 0;
  std::string data;                      // the file data
  uint64_t memory = 0;                   // p_memsz; 0 means the size of `data`
  uint64_t virtualAddress = 0xC0000000;  // where the program runs: not where it is loaded
};

struct ElfLayout {
  bool wide = false;       // ELFCLASS64
  bool bigEndian = false;  // ELFDATA2MSB
  uint16_t type = ET_EXEC;
  uint64_t entry = 0;
};

inline std::string BuildElf(const ElfLayout& layout, const std::vector<ElfSegment>& segments) {
  std::string file;
  auto put = [&](uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
      const size_t shift = 8 * (layout.bigEndian ? bytes - 1 - i : i);
      file += static_cast<char>((value >> shift) & 0xFF);
    }
  };
  const size_t word = layout.wide ? 8 : 4;
  const size_t headerSize = layout.wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  const size_t entrySize = layout.wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
  const char ident[EI_NIDENT] = {ELFMAG0,
                                 ELFMAG1,
                                 ELFMAG2,
                                 ELFMAG3,
                                 static_cast<char>(layout.wide ? ELFCLASS64 : ELFCLASS32),
                                 static_cast<char>(layout.bigEndian ? ELFDATA2MSB : ELFDATA2LSB),
                                 EV_CURRENT};
  file.append(ident, EI_NIDENT);
  put(layout.type, 2);
  put(EM_NONE, 2);
  put(EV_CURRENT, 4);
  put(layout.entry, word);
  put(segments.empty() ? 0 : headerSize, word);  // e_phoff
  put(0, word);                                  // e_shoff: no sections
  put(0, 4);                                     // e_flags
  put(headerSize, 2);
  put(entrySize, 2);
  put(segments.size(), 2);
  put(layout.wide ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr), 2);
  put(0, 2);  // e_shnum
  put(0, 2);  // e_shstrndx
  uint64_t offset = headerSize + entrySize * segments.size();
  for (const ElfSegment& s : segments) {
    const uint64_t memory = s.memory ? s.memory : s.data.size();
    put(s.type, 4);
    if (layout.wide) put(PF_R | PF_X, 4);
    put(offset, word);
    put(s.virtualAddress, word);
    put(s.physicalAddress, word);
    put(s.data.size(), word);
    put(memory, word);
    if (!layout.wide) put(PF_R | PF_X, 4);
    put(1, word);  // p_align
    offset += s.data.size();
  }
  for (const ElfSegment& s : segments) file += s.data;
  return file;
}

}  // namespace tessaro::testing
