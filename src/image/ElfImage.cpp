#include "image/ElfImage.h"

#include <gelf.h>
#include <libelf.h>

#include <memory>
#include <optional>

#include "common/Text.h"
#include "image/SegmentedImage.h"

namespace tessaro {

namespace {

struct ElfCloser {
  void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfCloser>;

std::string LibraryMessage() {
  const char* message = elf_errmsg(-1);
  return message ? message : "unknown libelf error";
}

// Where a segment's or section's file data lies; false with the message when it is not inside
// the file.
bool CheckFileData(uint64_t offset, uint64_t length, size_t fileSize, std::string& problem) {
  if (offset <= fileSize && length <= fileSize - offset) return true;
  problem = "its file data (" + std::to_string(length) + " bytes at offset 0x" + Hex(offset) +
            ") lies past the end of the file (" + std::to_string(fileSize) + " bytes); is the file truncated?";
  return false;
}

// The PT_LOAD segments with file data, at their physical addresses.
bool AddSegments(Elf* elf, size_t count, size_t fileSize, SegmentedImage& pieces, std::string& problem) {
  for (size_t i = 0; i < count; ++i) {
    const std::string segment = "segment " + std::to_string(i) + ": ";
    GElf_Phdr header{};
    if (!gelf_getphdr(elf, static_cast<int>(i), &header)) {
      problem = segment + "cannot read its program header (" + LibraryMessage() + ")";
      return false;
    }
    if (header.p_type != PT_LOAD || header.p_filesz == 0) continue;
    if (header.p_filesz > header.p_memsz) {
      problem = segment + "holds more file data (" + std::to_string(header.p_filesz) + " bytes) than memory (" +
                std::to_string(header.p_memsz) + " bytes)";
      return false;
    }
    std::string where;
    if (!CheckFileData(header.p_offset, header.p_filesz, fileSize, where)) {
      problem = segment + where;
      return false;
    }
    if (!pieces.Add(header.p_paddr, header.p_offset, header.p_filesz, static_cast<uint32_t>(i), problem)) return false;
  }
  return true;
}

// The allocated sections with file data, for a file that has no program headers.
bool AddSections(Elf* elf, size_t fileSize, SegmentedImage& pieces, std::string& problem) {
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section; section = elf_nextscn(elf, section)) {
    const size_t index = elf_ndxscn(section);
    GElf_Shdr header{};
    if (!gelf_getshdr(section, &header)) {
      problem = "section " + std::to_string(index) + ": cannot read its header (" + LibraryMessage() + ")";
      return false;
    }
    if ((header.sh_flags & SHF_ALLOC) == 0 || header.sh_type == SHT_NOBITS || header.sh_size == 0) continue;
    std::string where;
    if (!CheckFileData(header.sh_offset, header.sh_size, fileSize, where)) {
      problem = "section " + std::to_string(index) + ": " + where;
      return false;
    }
    if (!pieces.Add(header.sh_addr, header.sh_offset, header.sh_size, static_cast<uint32_t>(index), problem)) {
      return false;
    }
  }
  return true;
}

std::string SectionName(Elf* elf, uint32_t index) {
  std::string text = "section " + std::to_string(index);
  size_t names = 0;
  GElf_Shdr header{};
  Elf_Scn* section = elf_getscn(elf, index);
  if (section && gelf_getshdr(section, &header) && elf_getshdrstrndx(elf, &names) == 0) {
    if (const char* name = elf_strptr(elf, names, header.sh_name)) text += std::string(" (") + name + ")";
  }
  return text;
}

}  // namespace

bool ParseElfImage(ImageBuffer& image, std::string_view bytes, const std::string& name, std::string& error,
                   int32_t maxWords) {
  static const bool libraryReady = elf_version(EV_CURRENT) != EV_NONE;
  auto fail = [&](const std::string& problem) {
    error += name + ": " + problem;
    return false;
  };
  if (!libraryReady) return fail("libelf does not support this ELF version");
  // libelf may convert headers of the other byte order in place: it works on a copy, and the
  // data is taken from the file's own bytes.
  std::string copy(bytes);
  const ElfHandle elf(elf_memory(copy.data(), copy.size()));
  if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return fail("not an ELF file");
  GElf_Ehdr header{};
  if (!gelf_getehdr(elf.get(), &header)) return fail("damaged ELF header (" + LibraryMessage() + ")");
  size_t segmentCount = 0;
  if (elf_getphdrnum(elf.get(), &segmentCount) != 0) {
    return fail("cannot read the program headers (" + LibraryMessage() + ")");
  }
  // libelf counts only the program headers inside the file.
  if (header.e_phnum != PN_XNUM && segmentCount < header.e_phnum) {
    return fail("the program headers lie past the end of the file (" + std::to_string(bytes.size()) +
                " bytes); is the file truncated?");
  }

  const bool bySegment = segmentCount > 0;
  Elf* const handle = elf.get();
  SegmentedImage pieces([bySegment, handle](uint32_t index) {
    return bySegment ? "segment " + std::to_string(index) : SectionName(handle, index);
  });
  std::string problem;
  const bool added = bySegment ? AddSegments(handle, segmentCount, bytes.size(), pieces, problem)
                               : AddSections(handle, bytes.size(), pieces, problem);
  if (!added) return fail(problem);
  if (pieces.PieceCount() == 0) {
    return fail(bySegment ? "no PT_LOAD segment holds file data" : "no program headers and no allocated section data");
  }
  std::optional<uint32_t> entry;
  if (header.e_type == ET_EXEC && header.e_entry < kByteAddressLimit) entry = static_cast<uint32_t>(header.e_entry);
  if (!pieces.Build(image, reinterpret_cast<const uint8_t*>(bytes.data()), entry, maxWords, problem)) {
    return fail(problem);
  }
  return true;
}

bool LoadElfImage(ImageBuffer& image, const std::string& path, std::string& error) {
  const std::optional<std::string> bytes = ReadAddressedImageFile(path, error);
  return bytes && ParseElfImage(image, *bytes, path, error);
}

}  // namespace tessaro
