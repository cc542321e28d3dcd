// libFuzzer target: the board definition parser on one file's bytes, then the description
// and the configuration formatter on every board it built.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "chips/BoardConfig.h"
#include "definitions/BoardDefinition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessaro::BoardList list;
  std::string errors;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const int count = tessaro::ParseBoardText(list, "/fuzz/input.bdl", text, errors);
  if (count < 0 || static_cast<size_t>(count) != list.size()) __builtin_trap();
  for (const tessaro::BoardDefinition& board : list) {
    if (board.name.size() > tessaro::kMaxBoardNameLength) __builtin_trap();
    if (board.dfEnable.count > tessaro::kMaxPinSettings || board.dfDisable.count > tessaro::kMaxPinSettings)
      __builtin_trap();
    (void)tessaro::BoardDescription(board);
    (void)tessaro::BoardChoiceName(board);
    if (board.config.chip) (void)tessaro::FormatBoardConfig(board.config);
  }
  return 0;
}
