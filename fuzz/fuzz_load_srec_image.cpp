// libFuzzer target: the S-record loader on arbitrary bytes. A refused file leaves the image as
// it was; a loaded one is written out as S-records again and reads back to the same words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/ImageBuffer.h"
#include "image/ImageWriter.h"
#include "image/SRecordImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One buffer for all inputs, as the window reuses its image between loads; a smaller bound
  // on the described image keeps each run fast.
  constexpr int32_t kMaxWords = 1 << 16;
  static tessaro::ImageBuffer image;
  const int32_t sizeBefore = image.size;
  const uint32_t startBefore = image.startAddress;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool ok = tessaro::ParseSRecordImage(image, text, "fuzz.srec", error, kMaxWords);
  if (image.size < 0 || image.size > kMaxWords || image.size > image.capacity || image.programLength != image.size) {
    __builtin_trap();
  }
  if (ok != error.empty()) __builtin_trap();
  if (!ok) {
    if (image.size != sizeBefore || image.startAddress != startBefore) __builtin_trap();
    return 0;
  }
  const std::vector<uint16_t> words(image.words.begin(), image.words.begin() + image.size);
  if (!tessaro::FitsSRecordAddresses(image.startAddress, words.size())) __builtin_trap();
  tessaro::ImageBuffer again;
  if (!tessaro::ParseSRecordImage(again, tessaro::FormatSRecords(image.startAddress, words, "fuzz"), "again", error,
                                  kMaxWords)) {
    __builtin_trap();
  }
  if (again.startAddress != image.startAddress && !words.empty()) __builtin_trap();
  if (std::vector<uint16_t>(again.words.begin(), again.words.begin() + again.size) != words) __builtin_trap();
  return 0;
}
