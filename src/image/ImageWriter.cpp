#include "image/ImageWriter.h"

#include <algorithm>
#include <cstdio>

namespace tessaro {

namespace {

// The bytes of words from index `first`, low byte first.
size_t WordBytes(const std::vector<uint16_t>& words, size_t first, size_t count, uint8_t* bytes) {
  count = std::min(count, words.size() - first);
  for (size_t k = 0; k < count; ++k) {
    bytes[2 * k] = static_cast<uint8_t>(words[first + k] & 0xFF);
    bytes[2 * k + 1] = static_cast<uint8_t>(words[first + k] >> 8);
  }
  return count * 2;
}

void AppendHexByte(std::string& text, unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[(value >> 4) & 0xF];
  text += kDigits[value & 0xF];
}

}  // namespace

std::string FormatBinaryWords(const std::vector<uint16_t>& words) {
  std::string bytes;
  bytes.reserve(words.size() * 2);
  for (uint16_t word : words) {
    bytes += static_cast<char>(word & 0xFF);
    bytes += static_cast<char>(word >> 8);
  }
  return bytes;
}

std::string FormatIntelHex(uint32_t start, const std::vector<uint16_t>& words) {
  std::string text;
  auto record = [&text](uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
    text += head;
    unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
    for (size_t i = 0; i < count; ++i) {
      AppendHexByte(text, data[i]);
      sum += data[i];
    }
    AppendHexByte(text, (0x100 - (sum & 0xFF)) & 0xFF);
    text += '\n';
  };
  uint32_t upper = 0xFFFFFFFF;
  constexpr size_t kWordsPerRecord = 8;
  for (size_t i = 0; i < words.size(); i += kWordsPerRecord) {
    const uint64_t byteAddress = (static_cast<uint64_t>(start) + i) * 2;
    if ((byteAddress >> 16) != upper) {
      upper = static_cast<uint32_t>(byteAddress >> 16);
      const uint8_t high[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      record(0x04, 0, high, 2);
    }
    uint8_t data[kWordsPerRecord * 2];
    const size_t count = WordBytes(words, i, kWordsPerRecord, data);
    record(0x00, static_cast<uint16_t>(byteAddress & 0xFFFF), data, count);
  }
  record(0x01, 0, nullptr, 0);
  return text;
}

bool FitsSRecordAddresses(uint32_t start, uint64_t count) { return (start + count) * 2 <= uint64_t{1} << 32; }

std::string FormatSRecords(uint32_t start, const std::vector<uint16_t>& words, std::string_view header) {
  const uint64_t first = uint64_t{start} * 2;
  const uint64_t end = first + words.size() * 2;
  // The narrowest width whose addresses reach the last byte, as objcopy chooses it.
  const size_t width = end <= 0x10000 ? 2 : end <= 0x1000000 ? 3 : 4;
  const char dataType = static_cast<char>('1' + (width - 2));
  const char endType = static_cast<char>('9' - (width - 2));

  std::string text;
  auto record = [&text](char type, uint64_t address, size_t addressBytes, const uint8_t* data, size_t count) {
    text += 'S';
    text += type;
    const unsigned length = static_cast<unsigned>(addressBytes + count + 1);
    unsigned sum = length;
    AppendHexByte(text, length);
    for (size_t i = addressBytes; i-- > 0;) {
      const unsigned byte = static_cast<unsigned>(address >> (8 * i)) & 0xFF;
      AppendHexByte(text, byte);
      sum += byte;
    }
    for (size_t i = 0; i < count; ++i) {
      AppendHexByte(text, data[i]);
      sum += data[i];
    }
    AppendHexByte(text, ~sum & 0xFF);
    text += '\n';
  };

  constexpr size_t kMaxHeader = 64;
  const std::string_view name = header.substr(0, std::min(header.size(), kMaxHeader));
  record('0', 0, 2, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  constexpr size_t kWordsPerRecord = 16;
  uint64_t records = 0;
  for (size_t i = 0; i < words.size(); i += kWordsPerRecord) {
    uint8_t data[kWordsPerRecord * 2];
    const size_t count = WordBytes(words, i, kWordsPerRecord, data);
    record(dataType, first + i * 2, width, data, count);
    ++records;
  }
  if (records <= 0xFFFF) {
    record('5', records, 2, nullptr, 0);
  } else if (records <= 0xFFFFFF) {
    record('6', records, 3, nullptr, 0);
  }
  record(endType, first, width, nullptr, 0);
  return text;
}

}  // namespace tessaro
