// Words read from a target, written as the image files the loaders read back: raw binary
// (two bytes to a word, low byte first), Intel HEX or Motorola S-records, all at byte
// addresses (a word address times two).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

std::string FormatBinaryWords(const std::vector<uint16_t>& words);

// Data records of 16 bytes, an extended linear address record before each 64 KiB and an
// end-of-file record.
std::string FormatIntelHex(uint32_t start, const std::vector<uint16_t>& words);

// An S0 header carrying `header`, data records of 32 bytes in the narrowest address width that
// holds the last byte (S1, S2 or S3), a count record (S5, or S6 above 65535 records) and the
// termination record of that width (S9, S8 or S7) naming the first byte address.
std::string FormatSRecords(uint32_t start, const std::vector<uint16_t>& words, std::string_view header);

// Whether S-records can hold `count` words from word address `start`: their addresses are
// 32-bit byte addresses.
bool FitsSRecordAddresses(uint32_t start, uint64_t count);

}  // namespace tessaro
