// ELF images (.elf) as linkers write them: 32- or 64-bit, either byte order. The file data of
// every PT_LOAD segment goes to its physical address (the load address, where flash images are
// placed); what a segment holds only in memory (.bss) is not programmed. A file without program
// headers, such as the object `objcopy -I binary` writes, gives its allocated sections with file
// data at their addresses instead. The file is read with libelf.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/ImageBuffer.h"

namespace tessaro {

// Reads the ELF file held in `bytes` into `image` (byte addresses, two bytes to a word, low byte
// first, holes 0xFFFF) and classifies it. Messages are appended to `error` as
// "NAME: segment N: what is wrong"; on failure `image` is left as it was. The entry point of an
// executable becomes `entryAddress`.
[[nodiscard]] bool ParseElfImage(ImageBuffer& image, std::string_view bytes, const std::string& name,
                                 std::string& error, int32_t maxWords = kMaxHexImageWords);

// Reads the file at `path` (refused unread as CheckImageFile refuses) and parses it.
[[nodiscard]] bool LoadElfImage(ImageBuffer& image, const std::string& path, std::string& error);

}  // namespace tessaro
