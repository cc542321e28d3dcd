// libFuzzer target: the pin-list parser on arbitrary text. Every list it builds (complete or
// cut short by a bad item) must format to a text that reads back to the same list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "definitions/PinList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tessaro::PinList list;
  (void)tessaro::ParsePinList(text, list);
  if (list.count > tessaro::kMaxPinSettings) __builtin_trap();
  const std::string formatted = tessaro::FormatPinList(list);
  tessaro::PinList again;
  if (!tessaro::ParsePinList(formatted, again) || !(again == list)) __builtin_trap();
  return 0;
}
