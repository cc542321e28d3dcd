// The chips this programmer knows: one constant row per model, the rules that find a row by
// name (with the legacy model aliases) or by the model code a target reports, and the boot-ROM
// symbols the target-side drivers need per family. Rows are referenced by pointer; a null
// pointer means "no chip", and pointer identity is meaningful.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tessaro {

// Family codes; compared numerically ("at least 8x47" and the like).
inline constexpr uint32_t FAMILY_73XX = 0x73FF;
inline constexpr uint32_t FAMILY_74XX = 0x74FF;
inline constexpr uint32_t FAMILY_8X2X = 0x8100;
inline constexpr uint32_t FAMILY_8721 = 0x8721;
inline constexpr uint32_t FAMILY_8X47 = 0x8F47;
inline constexpr uint32_t FAMILY_9XXX = 0x9FFF;

struct ChipInfo {
  const char* name;            // "LYR" + four model digits
  uint32_t modelCode;          // model digits read as hex: LYR9162 -> 0x9162
  uint32_t familyCode;         // FAMILY_*
  uint32_t familyBit;          // selects ROM symbol rows
  uint32_t embeddedFlashBase;  // 0 when the chip has no embedded flash
  uint32_t embeddedFlashSize;  // in 16-bit words; 0 when none
  bool legacyLink;             // modem-line handshake transfer, extra 0x01 after addresses
  bool ackAfterReset;          // boot ROM acknowledges the link request after reset
  bool hasSecurityBit;         // chip erase clears it; word/page embedded-flash addressing
  // What identification sees of the chip (the simulated board answers the same):
  uint32_t ramBanks;      // 64K-word RAM banks found below 0x8400000 by the bank test
  uint32_t register250;   // 74xx: I/O register 250 & 0x7F; kNoRegister250 elsewhere
  uint32_t packageCodes;  // 9xxx: bit p set when package code p (I/O register 250 & 0xF)
                          // names this chip; 0 elsewhere

  // Value of the first ROM symbol of this chip's family with that name (ignoring case);
  // 0 when the family has none.
  uint16_t FindRomSymbol(std::string_view symbol) const;
};

struct RomSymbol {
  const char* name;  // at most 19 characters; the table ends with an empty name
  uint16_t value;    // routine entry address or register number
  uint32_t mask;     // family bits + category (0x8000 routine, 0x4000 register, 0x1000 general)
};

inline constexpr uint32_t kNoRegister250 = 0xFF;  // outside the 7 bits a 74xx answers

inline constexpr size_t kChipCount = 19;
inline constexpr size_t kRomSymbolCount = 142;

// The 19 rows in catalogue order (the search order of every lookup).
std::span<const ChipInfo> ChipCatalogue();
// The ROM symbol rows, without the terminating row.
std::span<const RomSymbol> RomSymbols();

// Row named by the beginning of `text` ("LYR" optional, legacy aliases applied, four
// characters compared ignoring case); null when none.
const ChipInfo* FindChipByName(std::string_view text);
// First row with that model code; null when none.
const ChipInfo* FindChipByModel(uint32_t modelCode);
// Identification lookups over the columns above; null when no row matches.
// The row of `family` whose bank test finds `banks` banks.
const ChipInfo* FindChipByBanks(uint32_t family, uint32_t banks);
// The 74xx row answering `value` (already masked to 7 bits) in I/O register 250.
const ChipInfo* FindChipByRegister250(uint32_t value);
// The 9xxx row of package code `code` (0-15).
const ChipInfo* FindChipByPackage(uint32_t code);
// "LYR9468": the chip every fresh configuration and the link start with.
const ChipInfo* DefaultChip();

}  // namespace tessaro
