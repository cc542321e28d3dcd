// The image to program: 16-bit words as the target sees them, filled from an Intel HEX or a
// raw binary file. Addresses and sizes are counted in words; words no file data covers read
// 0xFFFF, the erased state of flash memory.
#pragma once

#include <cstdint>
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

struct ImageBuffer {
  int32_t size = 0;             // words in the image
  int32_t capacity = 0;         // words allocated in `words`
  int32_t firstWord = 0;        // first word to program; 0 unless an operation runs
  int32_t programLength = 0;    // end (exclusive) of the words to program; reset by every resize
  int32_t kind = 0;             // image kind found by DetectImageKind, 0 = raw data
  uint32_t startAddress = 0;    // target word address of words[0]
  uint32_t kindAddress = 0;     // target word address suggested by the kind
  int32_t entryRecord = 0;      // HEX start address record seen: 3 (CS:IP), 5 (linear) or 0
  uint32_t entryAddress = 0;    // the value that record names
  std::vector<uint16_t> words;  // `capacity` entries; the first `size` are the image
};

// Makes the image n words long. Growing doubles the allocation (128 words at first) and fills
// the new words with 0xFFFF; shrinking drops the words beyond n. Sets programLength to n.
void ResizeImage(ImageBuffer& image, int32_t n);

// Loads a raw binary file: two bytes per word, low byte first. Messages are appended to
// `error` without a line end. On failure the previous image is unchanged. An odd length gives
// a warning and still succeeds (the last byte is ignored).
[[nodiscard]] bool LoadBinaryImage(ImageBuffer& image, const std::string& path, std::string& error);

// Loads an Intel HEX file (record types 0, 1, 2 and 4; start address records 3 and 5 are
// noted in entryRecord/entryAddress and load nothing). On failure the image holds what the
// records before the fault supplied.
[[nodiscard]] bool LoadHexImage(ImageBuffer& image, const std::string& path, std::string& error);

// The HEX loader on text already in memory (what LoadHexImage runs after reading the file).
// `maxWords` bounds the image the records may describe.
[[nodiscard]] bool ParseHexImage(ImageBuffer& image, std::string_view text, std::string& error,
                                 int32_t maxWords = kMaxHexImageWords);

// Loads a file as the main window does: Intel HEX when the extension is HEX (any case), raw
// binary otherwise.
[[nodiscard]] bool LoadImageByExtension(ImageBuffer& image, const std::string& path, std::string& error);
bool IsHexFileName(std::string_view path);

}  // namespace tessaro
