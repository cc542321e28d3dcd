#include "sim/ChipFacts.h"

#include <array>

namespace tessaro::sim {

namespace {

// Legend: model code; package code (9xxx); RAM banks; I/O register 250 (other families;
// kModelLowByte: the low byte of the model code).
constexpr uint32_t kModelLowByte = 0x10000;
struct ChipFact {
  uint32_t model;
  uint32_t package;
  uint32_t banks;
  uint32_t register250;
};
constexpr std::array<ChipFact, 19> kFacts = {{
    {0x7312, 15, 0, kModelLowByte},  {0x7322, 15, 0, kModelLowByte}, {0x7431, 15, 0, 0x0100},
    {0x7432, 15, 0, 0x010C},         {0x7451, 15, 0, 0x0170},        {0x7452, 15, 0, 0x017C},
    {0x8321, 15, 3, kModelLowByte},  {0x8326, 15, 8, kModelLowByte}, {0x8721, 15, 4, kModelLowByte},
    {0x8247, 15, 2, kModelLowByte},  {0x8347, 15, 4, kModelLowByte}, {0x8547, 15, 8, kModelLowByte},
    {0x8647, 15, 8, kModelLowByte},  {0x9162, 0, 16, kModelLowByte}, {0x9368, 4, 16, kModelLowByte},
    {0x9371, 5, 16, kModelLowByte},  {0x9468, 6, 16, kModelLowByte}, {0x9571, 9, 16, kModelLowByte},
    {0x9362, 12, 16, kModelLowByte},
}};

const ChipFact* FactOf(const ChipInfo& chip) {
  for (const ChipFact& fact : kFacts)
    if (fact.model == chip.modelCode) return &fact;
  return nullptr;
}

}  // namespace

uint32_t PackageCode(const ChipInfo& chip) {
  const ChipFact* fact = FactOf(chip);
  return fact ? fact->package : 15;
}

uint32_t BankCount(const ChipInfo& chip) {
  if (const ChipFact* fact = FactOf(chip)) return fact->banks;
  return chip.familyCode == FAMILY_9XXX ? 16 : 0;
}

uint16_t IdentityRegister(const ChipInfo& chip) {
  const ChipFact* fact = FactOf(chip);
  if (!fact || fact->register250 == kModelLowByte) return static_cast<uint16_t>(chip.modelCode & 0xFF);
  return static_cast<uint16_t>(fact->register250);
}

bool ExternalBusAddress(const ChipInfo& chip, uint32_t address) {
  // [first, end) of each family's external windows, in target word addresses.
  struct Range {
    uint32_t family, first, end;
  };
  static constexpr Range kRanges[] = {
      {FAMILY_73XX, 0x10000, 0x1000000},      // EXTMEM above the internal RAM
      {FAMILY_74XX, 0x4000000, 0x8000000},    // WCS0 and WCS1
      {FAMILY_8X2X, 0x1000000, 0x3000000},    // EXTMEM and WCS1
      {FAMILY_8X47, 0x20000, 0x4000000},      // WCS0 and its decoded quarters
      {FAMILY_8X47, 0x10000000, 0x11000000},  // WCS1
      {FAMILY_9XXX, 0x40000000, 0xC0000000},  // the two external memories
  };
  for (const Range& range : kRanges)
    if (range.family == chip.familyCode && address >= range.first && address < range.end) return true;
  return false;
}

}  // namespace tessaro::sim
