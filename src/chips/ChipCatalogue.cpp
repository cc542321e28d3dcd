#include "chips/ChipCatalogue.h"

#include "common/Text.h"

namespace tessaro {

namespace {

// name, model, family, familyBit, flash base, flash size (words), legacy, ack, security bit,
// RAM banks, I/O register 250 (74xx), package codes (9xxx)
constexpr ChipInfo kChips[kChipCount] = {
    {"LYR7312", 0x7312, FAMILY_73XX, 0x01, 0, 0, true, false, false, 0, kNoRegister250, 0},
    {"LYR7322", 0x7322, FAMILY_73XX, 0x01, 0, 0, true, false, false, 0, kNoRegister250, 0},
    {"LYR7431", 0x7431, FAMILY_74XX, 0x20, 0, 0, false, false, false, 0, 0x00, 0},
    {"LYR7432", 0x7432, FAMILY_74XX, 0x20, 0, 0, false, false, false, 0, 0x0C, 0},
    {"LYR7451", 0x7451, FAMILY_74XX, 0x20, 0, 0, false, false, false, 0, 0x70, 0},
    {"LYR7452", 0x7452, FAMILY_74XX, 0x20, 0, 0, false, false, false, 0, 0x7C, 0},
    {"LYR8321", 0x8321, FAMILY_8X2X, 0x02, 0, 0, false, true, false, 3, kNoRegister250, 0},
    {"LYR8326", 0x8326, FAMILY_8X2X, 0x02, 0, 0, false, true, false, 8, kNoRegister250, 0},
    {"LYR8721", 0x8721, FAMILY_8721, 0x04, 0x6000000, 0x4000, false, true, false, 4, kNoRegister250, 0},
    {"LYR8247", 0x8247, FAMILY_8X47, 0x08, 0xA000000, 0x4000, false, true, true, 2, kNoRegister250, 0},
    {"LYR8347", 0x8347, FAMILY_8X47, 0x08, 0xA000000, 0x4000, false, true, true, 4, kNoRegister250, 0},
    {"LYR8547", 0x8547, FAMILY_8X47, 0x08, 0xA000000, 0x4000, false, true, true, 8, kNoRegister250, 0},
    {"LYR8647", 0x8647, FAMILY_8X47, 0x08, 0xA000000, 0x4000, false, true, true, 8, kNoRegister250, 0},
    {"LYR9162", 0x9162, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 0},
    {"LYR9362", 0x9362, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 12 | 1u << 14},
    {"LYR9368", 0x9368, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 4},
    {"LYR9371", 0x9371, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 5},
    {"LYR9468", 0x9468, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 6},
    {"LYR9571", 0x9571, FAMILY_9XXX, 0x10, 0, 0, false, true, true, 16, kNoRegister250, 1u << 9},
};

constexpr size_t kDefaultChipRow = 17;

// Boot-ROM symbols: name, value, mask (family bits + category bit).
constexpr RomSymbol kRomSymbols[kRomSymbolCount + 1] = {
    {"R0", 0x0, 0x5000},
    {"R1", 0x1, 0x5000},
    {"R2", 0x2, 0x5000},
    {"R3", 0x3, 0x5000},
    {"R4", 0x4, 0x5000},
    {"R5", 0x5, 0x5000},
    {"R6", 0x6, 0x5000},
    {"R7", 0x7, 0x5000},
    {"DP0", 0x8, 0x5000},
    {"DP1", 0xA, 0x5000},
    {"DP0L", 0x8, 0x5000},
    {"DP0H", 0x9, 0x5000},
    {"DP1L", 0xA, 0x5000},
    {"DP1H", 0xB, 0x5000},
    {"SP", 0xC, 0x5000},
    {"BP", 0xD, 0x5000},
    {"XSPL", 0xE, 0x5000},
    {"XSPH", 0xF, 0x5000},
    {"FIF_RX", 0x10, 0x5000},
    {"FIF_WX", 0x11, 0x5000},
    {"FIF_CNT", 0x12, 0x5000},
    {"FIF_MOD", 0x13, 0x5000},
    {"FIF", 0x14, 0x5000},
    {"FIF_SEG", 0x15, 0x5000},
    {"T0_RQ", 0x16, 0x5000},
    {"T1_RQ", 0x17, 0x5000},
    {"DR0", 0x0, 0x4010},
    {"DR1", 0x2, 0x4010},
    {"DR2", 0x4, 0x4010},
    {"DR3", 0x6, 0x4010},
    {"DR4", 0x18, 0x4010},
    {"DR5", 0x1A, 0x4010},
    {"DR6", 0x1C, 0x4010},
    {"DR7", 0x1E, 0x4010},
    {"DR4L", 0x18, 0x4010},
    {"DR4H", 0x19, 0x4010},
    {"DR5L", 0x1A, 0x4010},
    {"DR5H", 0x1B, 0x4010},
    {"DR6L", 0x1C, 0x4010},
    {"DR6H", 0x1D, 0x4010},
    {"DR7L", 0x1E, 0x4010},
    {"DR7H", 0x1F, 0x4010},
    {"DMA_CNT", 0xD, 0x4001},
    {"DMA", 0xE, 0x4001},
    {"DMA_SEG", 0xF, 0x4001},
    {"CP_SHADOW", 0x18, 0x4001},
    {"SETBIT", 0xDA, 0x802F},
    {"MOVXI", 0xD0, 0x802F},
    {"SCASIWM", 0xC8, 0x802F},
    {"CLRBIT", 0xDE, 0x802F},
    {"SCASIB", 0xC0, 0x802F},
    {"SCANBIT", 0xED, 0x802F},
    {"BITINDEX", 0xE4, 0x802F},
    {"MOVSW", 0x12, 0x802F},
    {"MOVSB", 0x1B, 0x802F},
    {"MOVSBW", 0x22, 0x802F},
    {"MOVSWB", 0x35, 0x802F},
    {"SCASB", 0x4C, 0x802F},
    {"STOSW", 0x56, 0x802F},
    {"STBSL", 0xA9, 0x802F},
    {"MOVIX", 0xD5, 0x802F},
    {"SCASW", 0x0, 0x802E},
    {"LBSL", 0x92, 0x800E},
    {"BUFSWAPBYTES", 0x3EE, 0x800E},
    {"LOADP24", 0x2, 0x800E},
    {"STARTP24", 0x4, 0x800E},
    {"STOPP24", 0x6, 0x800E},
    {"PAUSEP24", 0x8, 0x800E},
    {"RESUMEP24", 0xA, 0x800E},
    {"MPU$GETWORD", 0xC, 0x800E},
    {"MPU$GETBYTE", 0xE, 0x800E},
    {"MPU$SENDBYTE", 0x59, 0x800E},
    {"MIDI$SENDBYTE", 0x67, 0x800E},
    {"ROM$DBGRETURN", 0x322, 0x800E},
    {"ST$SENDWORD", 0x3C3, 0x800E},
    {"ST$SENDBYTE", 0x3CC, 0x800E},
    {"ST$GETWORD", 0x31B, 0x800E},
    {"ST$GETBYTE", 0x313, 0x800E},
    {"LBSL", 0x2, 0x8020},
    {"MPU$SENDBYTE", 0x1C8, 0x8020},
    {"MIDI$SENDBYTE", 0x1D6, 0x8020},
    {"DF$SENDWORD", 0x1E4, 0x8020},
    {"DF$GETWORD", 0x1EF, 0x8020},
    {"DF$GETFIRSTWORD", 0x1FA, 0x8020},
    {"SPI$SENDWORD", 0x1E4, 0x8020},
    {"SPI$GETWORD", 0x1EF, 0x8020},
    {"SPI$GETFIRSTWORD", 0x1FA, 0x8020},
    {"ROM$DBGRETURN", 0x149, 0x8020},
    {"ST$SENDWORD", 0x1B8, 0x8020},
    {"ST$SENDBYTE", 0x1C1, 0x8020},
    {"ST$GETWORD", 0x142, 0x8020},
    {"ST$GETBYTE", 0x13A, 0x8020},
    {"CFGJMP", 0x21B, 0x8020},
    {"DIVIDE16", 0x200, 0x8020},
    {"DIVIDE32", 0x202, 0x8020},
    {"BUFSWAPBYTES", 0x21E, 0x8020},
    {"ROMWAIT", 0x228, 0x8020},
    {"DF$INIT", 0x161, 0x8002},
    {"DF$GETSTATUS", 0x16C, 0x8002},
    {"DF$START", 0x2C4, 0x8002},
    {"DF$STOP", 0x2CA, 0x8002},
    {"DF$SENDWORD", 0x75, 0x800A},
    {"DF$GETWORD", 0x80, 0x800A},
    {"DF$GETFIRSTWORD", 0x8B, 0x800A},
    {"SPI$SENDWORD", 0x75, 0x800A},
    {"SPI$GETWORD", 0x80, 0x800A},
    {"SPI$GETFIRSTWORD", 0x8B, 0x800A},
    {"SM$INIT", 0x208, 0x8006},
    {"SM$CARDHERE", 0x241, 0x8006},
    {"SM$START", 0x2C4, 0x8006},
    {"SM$STOP", 0x2CA, 0x8006},
    {"SM$WRITE", 0x24F, 0x8006},
    {"SM$READWORD", 0x263, 0x8006},
    {"SM$COMMAND", 0x279, 0x8006},
    {"SM$GETSIZE", 0x21E, 0x8006},
    {"SM$SETSECTOR", 0x282, 0x8006},
    {"SM$ISVALIDSECTOR", 0x298, 0x8006},
    {"SM$READSECTOR", 0x2A6, 0x8006},
    {"ROM$DBGRETURN", 0x381, 0x8010},
    {"ST$SENDBYTE", 0x3, 0x8010},
    {"READFUSE", 0x28, 0x8010},
    {"ADPCM4TO16", 0x59, 0x8021},
    {"ADPCM", 0x6D, 0x8021},
    {"DIVIDE16", 0x75, 0x8004},
    {"DIVIDE32", 0x77, 0x8004},
    {"EP$SELADR", 0x178, 0x8004},
    {"EP$LOADBYTE", 0x186, 0x8004},
    {"EP$WRTPG", 0x17B, 0x8004},
    {"EP$WRTBYTE", 0x18E, 0x8004},
    {"CFGJMP", 0x30A, 0x8008},
    {"DIVIDE16", 0x2EF, 0x8008},
    {"DIVIDE32", 0x2F1, 0x8008},
    {"FL$SELADR", 0x208, 0x8008},
    {"FL$WRITEPAGE", 0x21E, 0x8008},
    {"FL$LOADDWORD", 0x22D, 0x8008},
    {"FL$WRITEWORD", 0x237, 0x8008},
    {"FL$ERASE", 0x246, 0x8008},
    {"FL$WRTFUSE", 0x24F, 0x8008},
    {"FL$CLRFUSE", 0x251, 0x8008},
    {"FL$WRTSECBIT", 0x253, 0x8008},
    {"FL$WRITEDWORD", 0x28C, 0x8008},
    {"FL$WRTBUF64", 0x2A7, 0x8008},
    {"", 0, 0},
};

// Legacy model names, compared on their first four characters ignoring case.
struct ModelAlias {
  const char* from;
  const char* to;
};
constexpr ModelAlias kAliases[] = {
    {"7140", "7312"}, {"731x", "7312"}, {"8121", "8321"}, {"8126", "8326"}, {"9471", "9571"}};

// Compares four characters of `text` (padded with NUL past its end, as the terminating
// character of a C string takes part) with `four`, ignoring case.
bool FirstFourEqual(std::string_view text, const char* four) {
  for (size_t i = 0; i < 4; ++i) {
    char c = i < text.size() ? text[i] : '\0';
    if (AsciiLower(c) != AsciiLower(four[i])) return false;
  }
  return true;
}

}  // namespace

std::span<const ChipInfo> ChipCatalogue() { return kChips; }

std::span<const RomSymbol> RomSymbols() { return std::span<const RomSymbol>(kRomSymbols, kRomSymbolCount); }

const ChipInfo* DefaultChip() { return &kChips[kDefaultChipRow]; }

const ChipInfo* FindChipByName(std::string_view text) {
  if (StartsWithNoCase(text, "LYR")) text.remove_prefix(3);
  // The aliases apply one after the other, each to the result of the one before.
  std::string_view model = text;
  for (const ModelAlias& alias : kAliases)
    if (FirstFourEqual(model, alias.from)) model = alias.to;
  for (const ChipInfo& chip : kChips)
    if (FirstFourEqual(model, chip.name + 3)) return &chip;
  return nullptr;
}

const ChipInfo* FindChipByModel(uint32_t modelCode) {
  for (const ChipInfo& chip : kChips)
    if (chip.modelCode == modelCode) return &chip;
  return nullptr;
}

const ChipInfo* FindChipByBanks(uint32_t family, uint32_t banks) {
  for (const ChipInfo& chip : kChips)
    if (chip.familyCode == family && chip.ramBanks == banks) return &chip;
  return nullptr;
}

const ChipInfo* FindChipByRegister250(uint32_t value) {
  if (value == kNoRegister250) return nullptr;
  for (const ChipInfo& chip : kChips)
    if (chip.register250 == value) return &chip;
  return nullptr;
}

const ChipInfo* FindChipByPackage(uint32_t code) {
  if (code >= 32) return nullptr;
  for (const ChipInfo& chip : kChips)
    if ((chip.packageCodes >> code) & 1u) return &chip;
  return nullptr;
}

uint16_t ChipInfo::FindRomSymbol(std::string_view symbol) const {
  for (const RomSymbol* row = kRomSymbols; row->name[0] != '\0'; ++row) {
    if ((row->mask & familyBit) == 0) continue;
    if (EqualsNoCase(row->name, symbol)) return row->value;
  }
  return 0;
}

}  // namespace tessaro
