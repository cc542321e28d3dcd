// Pin lists of a board definition: the chip pins (or chip-select functions) and levels the
// DataFlash driver drives to select and deselect a serial flash, e.g. "SEL2=1, P7.15:0".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

// One pin and its level. Bits 0-7 name the pin:
//   0x10 DFCS, 0x20+n SELn, 0x30+n ROWn, 0x40+n MKn, 0x50+n BRn (n 0..14),
//   0x60+n Pn (n 0..3), 0x70+n SPICSn (n 0..2), 0x80+g*16+b Pg.b (g 0..7, b 0..15);
// bit 8 is the level (set for ":1" or "=1").
using PinSetting = uint16_t;

inline constexpr PinSetting kPinLevelHigh = 0x100;
inline constexpr size_t kMaxPinSettings = 15;

struct PinList {
  uint16_t count = 0;  // 0..15
  std::array<PinSetting, kMaxPinSettings> pins{};

  friend bool operator==(const PinList& a, const PinList& b) {
    if (a.count != b.count) return false;
    for (size_t i = 0; i < a.count && i < kMaxPinSettings; ++i) {
      if (a.pins[i] != b.pins[i]) return false;
    }
    return true;
  }
};

// Reads items separated by blanks or commas (or none). Items beyond the fifteenth are checked
// but not stored. False at the first character that starts no item; the settings read before
// it stay in the list.
[[nodiscard]] bool ParsePinList(std::string_view text, PinList& list);

// "SEL2=1, P7.15=0": every setting with its level, ", " between them.
std::string FormatPinList(const PinList& list);

}  // namespace tessaro
