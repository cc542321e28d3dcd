#include "image/ImageBuffer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

#include "common/Text.h"
#include "image/ElfImage.h"
#include "image/ImageKind.h"
#include "image/SRecordImage.h"
#include "platform/Files.h"

namespace tessaro {

namespace {

constexpr int32_t kFirstCapacity = 128;

// Value of each hexadecimal digit, -1 for every other byte: one lookup per character keeps
// the HEX parser fast on files of hundreds of megabytes.
constexpr std::array<int8_t, 256> MakeHexTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
  return table;
}
constexpr std::array<int8_t, 256> kHexValue = MakeHexTable();

// Bytes of a record: count, address high, address low, type, data..., checksum.
constexpr size_t kRecordOverhead = 5;
constexpr uint8_t kRecordData = 0;
constexpr uint8_t kRecordEndOfFile = 1;
constexpr uint8_t kRecordExtendedSegment = 2;
constexpr uint8_t kRecordStartSegment = 3;
constexpr uint8_t kRecordExtendedLinear = 4;
constexpr uint8_t kRecordStartLinear = 5;

}  // namespace

void ResizeImage(ImageBuffer& image, int32_t n) {
  n = std::max<int32_t>(n, 0);
  if (n > image.capacity) {
    int64_t capacity = image.capacity == 0 ? kFirstCapacity : image.capacity;
    while (capacity < n) capacity *= 2;
    capacity = std::min<int64_t>(capacity, std::numeric_limits<int32_t>::max());
    std::vector<uint16_t> grown(static_cast<size_t>(capacity));
    std::copy_n(image.words.begin(), std::min<int32_t>(image.size, image.capacity), grown.begin());
    image.words.swap(grown);
    image.capacity = static_cast<int32_t>(capacity);
  }
  if (n > image.size) {
    std::fill(image.words.begin() + image.size, image.words.begin() + n, kErasedWord);
  }
  image.size = n;
  image.programLength = n;
}

ImageFileCheck CheckImageFile(const std::string& path, bool hex, std::string& error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || ::access(path.c_str(), R_OK) != 0) {
    error += (hex ? "Cannot open " : "Can't open ") + path;
    return ImageFileCheck::Unreadable;
  }
  if (!S_ISREG(info.st_mode)) {
    error += "Not a regular file: " + path;
    return ImageFileCheck::Unreadable;
  }
  if (static_cast<uint64_t>(info.st_size) > (hex ? kMaxHexFileBytes : kMaxBinaryFileBytes)) {
    error += "File too large: " + path + " (" + std::to_string(info.st_size) + " bytes; an image holds at most " +
             std::to_string(kMaxHexImageWords) + " words)";
    return ImageFileCheck::TooLarge;
  }
  return ImageFileCheck::Ok;
}

bool LoadBinaryImage(ImageBuffer& image, const std::string& path, std::string& error) {
  if (CheckImageFile(path, false, error) != ImageFileCheck::Ok) return false;
  std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes) {
    error += "Can't open " + path;
    return false;
  }
  // Sizes are signed 32-bit word counts: files of 4 GiB and more cannot be held.
  if (bytes->size() / 2 > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    error += "File too large: " + path;
    return false;
  }
  if (bytes->size() % 2 != 0) error += "Warning: file size in 16bit word is not an integer";
  ResizeImage(image, static_cast<int32_t>(bytes->size() / 2));
  const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(image.words.data(), data, static_cast<size_t>(image.size) * 2);
  } else {
    for (int32_t i = 0; i < image.size; ++i) {
      image.words[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
  }
  image.firstWord = 0;
  image.startAddress = 0;
  DetectImageKind(image);
  return true;
}

bool ParseHexImage(ImageBuffer& image, std::string_view text, std::string& error, int32_t maxWords) {
  image.size = 0;
  image.programLength = 0;
  image.firstWord = 0;
  image.startAddress = 0;
  image.kindAddress = 0;
  image.kind = IMAGE_RAW;
  image.entryAddress.reset();

  uint32_t upperAddress = 0;
  bool seenData = false;
  // A line of at most 1024 characters holds at most 511 bytes after the ':'.
  std::array<uint8_t, kMaxHexLineLength / 2> bytes{};

  const char* cursor = text.data();
  const char* const textEnd = text.data() + text.size();
  while (cursor < textEnd) {
    const char* newline = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(textEnd - cursor)));
    const char* lineEnd = newline ? newline : textEnd;
    const char* next = newline ? newline + 1 : textEnd;
    if (newline && lineEnd > cursor && lineEnd[-1] == '\r') --lineEnd;  // CR LF
    const size_t length = static_cast<size_t>(lineEnd - cursor);
    const char* line = cursor;
    cursor = next;

    if (length > kMaxHexLineLength) {
      error += "Line Length Exceeded!";
      return false;
    }
    if (length == 0 || line[0] != ':' || (length - 1) % 2 != 0) {
      error += "Invalid Hex Format!";
      return false;
    }
    const size_t count = (length - 1) / 2;
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
      const int high = kHexValue[static_cast<unsigned char>(line[1 + 2 * i])];
      const int low = kHexValue[static_cast<unsigned char>(line[2 + 2 * i])];
      if ((high | low) < 0) {
        error += "Invalid Hex Format!";
        return false;
      }
      bytes[i] = static_cast<uint8_t>(high << 4 | low);
      sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    if (sum != 0) {
      error += "Checksum Error!";
      return false;
    }
    // The byte count must agree with the bytes on the line; otherwise the record's words would
    // come from its checksum or from bytes that belong to no record.
    if (count < kRecordOverhead || bytes[0] != count - kRecordOverhead) {
      error += "Invalid Hex Format!";
      return false;
    }
    const size_t dataCount = bytes[0];
    const uint8_t* data = bytes.data() + 4;
    const uint32_t byteAddress = upperAddress + (static_cast<uint32_t>(bytes[1]) << 8 | bytes[2]);

    switch (bytes[3]) {
      case kRecordData: {
        if (byteAddress % 2 != 0) {
          error += "Invalid odd address!";
          return false;
        }
        if (dataCount % 2 != 0) {
          error += "Invalid odd data count!";
          return false;
        }
        const uint32_t wordAddress = byteAddress / 2;
        const size_t wordCount = dataCount / 2;
        if (!seenData) {
          seenData = true;
          image.startAddress = wordAddress;
        }
        if (wordAddress < image.startAddress) {
          error += "Invalid Address Sequence in HexFile";
          return false;
        }
        const uint64_t index = wordAddress - image.startAddress;
        const uint64_t recordEnd = index + wordCount;
        if (recordEnd > static_cast<uint64_t>(std::max<int32_t>(maxWords, 0))) {
          error += "Hex file addresses span more than " + std::to_string(maxWords) + " words";
          return false;
        }
        // The image ends at the highest record end seen, so records that are not in address
        // order never cut off data an earlier record supplied.
        if (recordEnd > static_cast<uint64_t>(image.size)) ResizeImage(image, static_cast<int32_t>(recordEnd));
        uint16_t* target = image.words.data() + index;
        for (size_t i = 0; i < wordCount; ++i) {
          target[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        }
        break;
      }
      case kRecordEndOfFile:
        image.programLength = image.size;
        DetectImageKind(image);
        return true;
      case kRecordExtendedLinear:
        if (dataCount < 2) {
          error += "Invalid Hex Format!";
          return false;
        }
        upperAddress = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << 16;
        break;
      case kRecordExtendedSegment:
        // GNU objcopy writes these for images between 64 KiB and 1 MiB: the paragraph number
        // times 16 is the base of the records that follow.
        if (dataCount < 2) {
          error += "Invalid Hex Format!";
          return false;
        }
        upperAddress = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << 4;
        break;
      case kRecordStartSegment:
      case kRecordStartLinear:
        // Where the program starts (CS:IP or a linear address): nothing to program, only
        // remembered so it can be shown.
        if (dataCount < 4) {
          error += "Invalid Hex Format!";
          return false;
        }
        if (bytes[3] == kRecordStartLinear) {
          image.entryAddress = static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                               static_cast<uint32_t>(data[2]) << 8 | data[3];
        } else {
          image.entryAddress =
              ((static_cast<uint32_t>(data[0]) << 8 | data[1]) << 4) + (static_cast<uint32_t>(data[2]) << 8 | data[3]);
        }
        break;
      default: error += "Invalid Record encountered, invalid HexFile"; return false;
    }
  }
  error += "Unexpected End Of File";
  return false;
}

bool LoadHexImage(ImageBuffer& image, const std::string& path, std::string& error) {
  std::string refusal;
  std::optional<std::string> text;
  if (CheckImageFile(path, true, refusal) == ImageFileCheck::Ok) text = ReadWholeFile(path);
  if (!text) {
    image.size = 0;
    image.programLength = 0;
    image.firstWord = 0;
    image.startAddress = 0;
    image.kindAddress = 0;
    image.kind = IMAGE_RAW;
    error += refusal.empty() ? "Cannot open " + path : refusal;
    return false;
  }
  return ParseHexImage(image, *text, error);
}

bool IsHexFileName(std::string_view path) { return ImageFormatOf(path) == ImageFormat::IntelHex; }

ImageFormat ImageFormatOf(std::string_view path) {
  // Legend: extension, format.
  struct Extension {
    const char* extension;
    ImageFormat format;
  };
  static constexpr Extension kExtensions[] = {
      {"hex", ImageFormat::IntelHex}, {"srec", ImageFormat::SRecord}, {"s19", ImageFormat::SRecord},
      {"s28", ImageFormat::SRecord},  {"s37", ImageFormat::SRecord},  {"mot", ImageFormat::SRecord},
      {"elf", ImageFormat::Elf},
  };
  const std::string extension = ExtensionOf(path);
  for (const Extension& entry : kExtensions) {
    if (EqualsNoCase(extension, entry.extension)) return entry.format;
  }
  return ImageFormat::Binary;
}

const char* ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::IntelHex: return "Intel HEX";
    case ImageFormat::SRecord: return "S-record";
    case ImageFormat::Elf: return "ELF";
    case ImageFormat::Binary: break;
  }
  return "binary";
}

bool LoadImageByExtension(ImageBuffer& image, const std::string& path, std::string& error) {
  switch (ImageFormatOf(path)) {
    case ImageFormat::IntelHex: return LoadHexImage(image, path, error);
    case ImageFormat::SRecord: return LoadSRecordImage(image, path, error);
    case ImageFormat::Elf: return LoadElfImage(image, path, error);
    case ImageFormat::Binary: break;
  }
  return LoadBinaryImage(image, path, error);
}

}  // namespace tessaro
