// libFuzzer target: the ELF loader (libelf underneath) on arbitrary bytes. A refused file
// leaves the image as it was.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/ElfImage.h"
#include "image/ImageBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int32_t kMaxWords = 1 << 20;
  static tessaro::ImageBuffer image;
  const int32_t sizeBefore = image.size;
  const uint32_t startBefore = image.startAddress;
  std::string error;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool ok = tessaro::ParseElfImage(image, bytes, "fuzz.elf", error, kMaxWords);
  if (image.size < 0 || image.size > kMaxWords || image.size > image.capacity || image.programLength != image.size) {
    __builtin_trap();
  }
  if (ok != error.empty()) __builtin_trap();
  if (!ok && (image.size != sizeBefore || image.startAddress != startBefore)) __builtin_trap();
  // Every loaded word lies inside the 32-bit byte address range.
  if (ok && (uint64_t{image.startAddress} + static_cast<uint64_t>(image.size)) * 2 > (uint64_t{1} << 32) + 1) {
    __builtin_trap();
  }
  return 0;
}
