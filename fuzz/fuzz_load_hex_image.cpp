// libFuzzer target: the Intel HEX loader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/ImageBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One buffer for all inputs, as the window reuses its image between loads; a smaller bound
  // on the described image keeps each run fast (the bound itself is what is exercised).
  static tessaro::ImageBuffer image;
  std::string error;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool ok = tessaro::ParseHexImage(image, text, error, 1 << 20);
  if (image.size < 0 || image.size > image.capacity || image.programLength != image.size) __builtin_trap();
  if (ok != error.empty()) __builtin_trap();
  return 0;
}
