// Motorola S-record images (.srec, .s19, .s28, .s37, .mot) as toolchains write them: an S0
// header, S1/S2/S3 data records with 16-, 24- and 32-bit byte addresses, optional S5/S6 record
// counts and one S7/S8/S9 termination record naming the start address. Every record's checksum
// is checked; a count record must agree with the data records before it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/ImageBuffer.h"

namespace tessaro {

// Longest S-record line accepted, line end not counted: "S", the type, and 256 bytes
// (count, address, data, checksum) of two digits each.
inline constexpr size_t kMaxSRecordLineLength = 2 + 2 * 256;

// Reads the records of `text` into `image` (byte addresses, two bytes to a word, low byte
// first, holes 0xFFFF) and classifies it. Messages are appended to `error` as
// "NAME: line N: what is wrong"; on failure `image` is left as it was. The termination
// record's address becomes `entryAddress`; lines after it are not read.
[[nodiscard]] bool ParseSRecordImage(ImageBuffer& image, std::string_view text, const std::string& name,
                                     std::string& error, int32_t maxWords = kMaxHexImageWords);

// Reads the file at `path` (refused unread as CheckImageFile refuses) and parses it.
[[nodiscard]] bool LoadSRecordImage(ImageBuffer& image, const std::string& path, std::string& error);

}  // namespace tessaro
