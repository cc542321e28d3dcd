// The image to program: 16-bit words as the target sees them, filled from an Intel HEX, an
// S-record or an ELF file, or a raw binary file. Addresses and sizes are counted in words; words no file data covers
// read 0xFFFF, the erased state of flash memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// Value of every word that no file data supplied.
inline constexpr uint16_t kErasedWord = 0xFFFF;
// Longest HEX line accepted, line end not counted.
inline constexpr size_t kMaxHexLineLength = 1024;
// Largest image a HEX file may describe (words). Records far apart in the 32-bit address
// space would otherwise ask for gigabytes; 256 Mi words (512 MiB) covers every memory the
// boards carry.
inline constexpr int32_t kMaxHexImageWords = 256 * 1024 * 1024;

// Largest HEX file read: a data byte takes two characters and every record adds its own, so
// three characters per image byte covers any file describing kMaxHexImageWords.
inline constexpr uint64_t kMaxHexFileBytes = uint64_t{kMaxHexImageWords} * 2 * 3;
// Largest raw binary file read (the odd byte a warning ignores included).
inline constexpr uint64_t kMaxBinaryFileBytes = uint64_t{kMaxHexImageWords} * 2 + 1;

enum class ImageFileCheck {
  Ok,
  Unreadable,  // missing, not a regular file (a folder, a FIFO, a device), or not readable
  TooLarge,    // larger than any memory the image could go to
};
// What the loaders check before they read a byte: a FIFO would block and a device such as
// /dev/zero would never end. `error` gets the message. `hex` is true for every format but raw
// binary (their files may be three times the image's size).
ImageFileCheck CheckImageFile(const std::string& path, bool hex, std::string& error);

struct ImageBuffer {
  int32_t size = 0;             // words in the image
  int32_t capacity = 0;         // words allocated in `words`
  int32_t firstWord = 0;        // first word to program; 0 unless an operation runs
  int32_t programLength = 0;    // end (exclusive) of the words to program; reset by every resize
  int32_t kind = 0;             // image kind found by DetectImageKind, 0 = raw data
  uint32_t startAddress = 0;    // target word address of words[0]
  uint32_t kindAddress = 0;     // target word address suggested by the kind
  std::vector<uint16_t> words;  // `capacity` entries; the first `size` are the image
  // Byte address a HEX start-address record (type 3 or 5) names; not programmed anywhere.
  std::optional<uint32_t> entryAddress;
};

// Makes the image n words long. Growing doubles the allocation (128 words at first) and fills
// the new words with 0xFFFF; shrinking drops the words beyond n. Sets programLength to n.
void ResizeImage(ImageBuffer& image, int32_t n);

// Loads a raw binary file: two bytes per word, low byte first. Messages are appended to
// `error` without a line end. On failure the previous image is unchanged. An odd length gives
// a warning and still succeeds (the last byte is ignored).
[[nodiscard]] bool LoadBinaryImage(ImageBuffer& image, const std::string& path, std::string& error);

// Loads an Intel HEX file (record types 0 data, 1 end of file, 2 extended segment and 4
// extended linear address; 3 and 5, start address, are only remembered). On failure the image holds what the
// records before the fault supplied.
[[nodiscard]] bool LoadHexImage(ImageBuffer& image, const std::string& path, std::string& error);

// The HEX loader on text already in memory (what LoadHexImage runs after reading the file).
// `maxWords` bounds the image the records may describe.
[[nodiscard]] bool ParseHexImage(ImageBuffer& image, std::string_view text, std::string& error,
                                 int32_t maxWords = kMaxHexImageWords);

// The file formats an image is read from, told apart by the file name's extension (any case):
// HEX is Intel HEX; SREC, S19, S28, S37 and MOT are Motorola S-records; ELF is ELF; anything
// else is raw binary.
enum class ImageFormat { Binary, IntelHex, SRecord, Elf };
ImageFormat ImageFormatOf(std::string_view path);
// "binary", "Intel HEX", "S-record", "ELF".
const char* ImageFormatName(ImageFormat format);
// Every format but raw binary names the addresses of its data: the image starts at the first
// of them and the window's start address boxes take any text.
inline bool CarriesAddresses(ImageFormat format) { return format != ImageFormat::Binary; }

// Loads a file as the main window does, with the loader ImageFormatOf names. Every loader
// refuses what CheckImageFile refuses before reading.
[[nodiscard]] bool LoadImageByExtension(ImageBuffer& image, const std::string& path, std::string& error);
bool IsHexFileName(std::string_view path);

}  // namespace tessaro
