// A board's hardware setup (chip, memory mode, external memories, wait states, SDRAM geometry,
// boot options) and its one-line text form, the configuration string, e.g.
//   LYR9162 FLASH(16k,Host)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(4M,8/4WS)
// The 8x47 family reuses five of the fields with other meanings (see the field comments).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "chips/ChipCatalogue.h"

namespace tessaro {

// Memory modes.
inline constexpr uint32_t MEM_INTRAM = 0;
inline constexpr uint32_t MEM_COM = 1;
inline constexpr uint32_t MEM_FLASH = 2;
inline constexpr uint32_t MEM_FLASH_INTRAM = 3;
inline constexpr uint32_t MEM_FLASH_EXT = 4;
inline constexpr uint32_t MEM_CACHE = 5;

// External memory kinds (9xxx).
inline constexpr uint32_t EXT_NONE = 0;
inline constexpr uint32_t EXT_MEM = 1;
inline constexpr uint32_t EXT_SDRAM = 2;
inline constexpr uint32_t EXT_NOR = 4;
inline constexpr uint32_t EXT_NAND = 5;
inline constexpr uint32_t EXT_QSRAM = 6;
inline constexpr uint32_t EXT_QNOR = 7;

// Bits of BoardConfig::sdram.
inline constexpr uint32_t SDRAM_DDR = 0x10;
inline constexpr uint32_t SDRAM_CL3 = 0x20;

struct BoardConfig {
  const ChipInfo* chip = nullptr;  // null: no chip
  uint32_t mode = 0;
  uint32_t ext1Kind = 0;    // 8x47: kind of area 0 (1 EXTMEM, 2 EXTSDR, 3 EXTDDR)
  uint32_t ext1Size = 0;    // size exponent; 8x47: kind of area 1
  uint32_t ext2Kind = 0;    // 8x47: wait states of area 0
  uint32_t ext2Size = 0;    // size exponent; 8x47: wait states of area 1
  uint32_t nandOrHost = 0;  // 0 none, 1 Nand, 2 Host; 8x47: XCSDEC code
  uint32_t timing = 0;      // bit 0 Class2, bit 1 Slow
  bool mem200 = false;
  uint32_t osc2 = 0;           // 0 none, 1..4 for OSC2:0..OSC2:3
  uint32_t internalSplit = 0;  // 0, 1 or 2
  uint32_t internalExtra = 0;  // bytes (k * 1024)
  uint32_t sdram = 0;          // bits 0-1 col-8, 2-3 row-11, SDRAM_DDR, SDRAM_CL3
  uint32_t ext1WaitA = 0;
  uint32_t ext2WaitA = 0;
  uint32_t ext1WaitB = 0;
  uint32_t ext2WaitB = 0;
  bool ext1Xio = false;
  bool ext2Xio = false;
  bool ext2OnCs1 = false;
  bool ext2First = false;
  bool host = false;
  bool sync = false;
  bool noSdrInit = false;

  bool operator==(const BoardConfig&) const = default;
};

// Where the parser stopped: ok, or the offset of the token it did not accept.
struct ConfigParseResult {
  bool ok = true;
  size_t stop = 0;
};

// Resets every field after `mode`, sets `mode` to `requestedMode` and applies the chip
// family's defaults. False (after the reset) for an unknown family or no chip.
[[nodiscard]] bool ApplyDefaults(BoardConfig& config, uint32_t requestedMode);
// The default chip in MEM_INTRAM with its family's defaults.
void InitBoardConfig(BoardConfig& config);
BoardConfig InitBoardConfig();

// Reads a configuration string into `config`, changing it as it goes; a failure leaves what
// the tokens before the failing one set.
ConfigParseResult ParseBoardConfig(BoardConfig& config, std::string_view text);
// The configuration string; "" when no chip is set.
std::string FormatBoardConfig(const BoardConfig& config);

// 16-bit boot configuration register values of the 9xxx family; 0 for any other chip or
// register.
uint16_t ConfigRegisterValue(const BoardConfig& config, uint32_t registerNumber);
// The 16-bit memory configuration word of the 8x47 and 9xxx families; 0 otherwise.
uint16_t MemoryConfigWord(const BoardConfig& config);

// The registers ConfigRegisterValue knows, in ascending order.
inline constexpr uint32_t kConfigRegisters[] = {8, 9, 11, 12, 13, 19, 20, 21, 22, 23, 24, 25, 26, 27, 64, 103, 107};

}  // namespace tessaro
