#include <gtest/gtest.h>

#include <set>
#include <string>

#include "chips/ChipCatalogue.h"

namespace tessaro {
namespace {

TEST(ChipCatalogue, TableInvariants) {
  auto chips = ChipCatalogue();
  ASSERT_EQ(chips.size(), 19u);
  EXPECT_EQ(RomSymbols().size(), 142u);
  EXPECT_STREQ(DefaultChip()->name, "LYR9468");
  EXPECT_EQ(DefaultChip(), &chips[17]);
  // Families appear in ascending code order and each family has exactly one family bit.
  uint32_t previous = 0;
  for (const ChipInfo& chip : chips) {
    EXPECT_GE(chip.familyCode, previous) << chip.name;
    previous = chip.familyCode;
    EXPECT_EQ(std::string(chip.name).size(), 7u);
    EXPECT_EQ(std::stoul(std::string(chip.name + 3), nullptr, 16), chip.modelCode) << chip.name;
    EXPECT_EQ(chip.familyBit & (chip.familyBit - 1), 0u) << chip.name;
    EXPECT_EQ(chip.embeddedFlashSize != 0, chip.embeddedFlashBase != 0) << chip.name;
  }
  // No name occurs twice within one family, so row order never changes a lookup.
  for (uint32_t bit : {0x01u, 0x02u, 0x04u, 0x08u, 0x10u, 0x20u}) {
    std::set<std::string> names;
    for (const RomSymbol& symbol : RomSymbols()) {
      EXPECT_LT(std::string(symbol.name).size(), 20u);
      if (symbol.mask & bit) {
        EXPECT_TRUE(names.insert(symbol.name).second) << symbol.name << " bit " << bit;
      }
    }
  }
}

TEST(ChipCatalogue, FindChipByName) {
  struct Case {
    const char* text;
    const char* expected;  // nullptr: none
  } cases[] = {
      {"LYR9162", "LYR9162"},    {"lyr731X", "LYR7312"},  {"7140", "LYR7312"},
      {"LYR8121", "LYR8321"},    {"8126", "LYR8326"},     {"9471", "LYR9571"},
      {"7310", nullptr},         {"LYR9999", nullptr},    {"", nullptr},
      {"LYR", nullptr},          {"LYR946", nullptr},     {"9162 FLASH(16k)", "LYR9162"},
      {"lyr8647xyz", "LYR8647"}, {"LYRLYR9468", nullptr},
  };
  for (const Case& c : cases) {
    const ChipInfo* chip = FindChipByName(c.text);
    if (c.expected) {
      ASSERT_NE(chip, nullptr) << c.text;
      EXPECT_STREQ(chip->name, c.expected) << c.text;
    } else {
      EXPECT_EQ(chip, nullptr) << c.text;
    }
  }
}

TEST(ChipCatalogue, FindChipByModelAndRomSymbols) {
  ASSERT_NE(FindChipByModel(0x8547), nullptr);
  EXPECT_STREQ(FindChipByModel(0x8547)->name, "LYR8547");
  EXPECT_EQ(FindChipByModel(0x1234), nullptr);

  struct Case {
    const char* chip;
    uint16_t dbgReturn;
    uint16_t sendByte;
  } cases[] = {{"LYR7312", 0, 0},         {"LYR7431", 0x149, 0x1C1}, {"LYR8321", 0x322, 0x3CC},
               {"LYR8721", 0x322, 0x3CC}, {"LYR8247", 0x322, 0x3CC}, {"LYR9468", 0x381, 0x3}};
  for (const Case& c : cases) {
    const ChipInfo* chip = FindChipByName(c.chip);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->FindRomSymbol("ROM$DBGRETURN"), c.dbgReturn) << c.chip;
    EXPECT_EQ(chip->FindRomSymbol("rom$dbgreturn"), c.dbgReturn) << c.chip;
    EXPECT_EQ(chip->FindRomSymbol("ST$SENDBYTE"), c.sendByte) << c.chip;
  }
  // General register rows carry no family bit and are never found.
  EXPECT_EQ(FindChipByName("LYR9468")->FindRomSymbol("SP"), 0);
  EXPECT_EQ(FindChipByName("LYR9468")->FindRomSymbol("DR4"), 0x18);
  EXPECT_EQ(FindChipByName("LYR8647")->FindRomSymbol("FL$WRTBUF64"), 0x2A7);
}

// Identification tells chips apart by these columns, so within the family that uses one the
// values must be unique, and the lookups must lead back to the row that holds them.
TEST(ChipCatalogue, IdentificationColumns) {
  std::set<uint32_t> register250s;
  std::set<uint32_t> banks8x2x;
  uint32_t packagesSeen = 0;
  for (const ChipInfo& chip : ChipCatalogue()) {
    const bool has74xxRegister = chip.familyCode == FAMILY_74XX;
    const bool below8x2x = chip.familyCode == FAMILY_73XX || chip.familyCode == FAMILY_74XX;
    // register 250
    if (has74xxRegister) {
      EXPECT_LT(chip.register250, 0x80u) << chip.name;
      EXPECT_TRUE(register250s.insert(chip.register250).second) << chip.name;
      EXPECT_EQ(FindChipByRegister250(chip.register250), &chip) << chip.name;
    } else {
      EXPECT_EQ(chip.register250, kNoRegister250) << chip.name;
    }
    // RAM banks: none is what sends identification to the 74xx register
    if (below8x2x) {
      EXPECT_EQ(chip.ramBanks, 0u) << chip.name;
    } else {
      EXPECT_GE(chip.ramBanks, 1u) << chip.name;
      EXPECT_LE(chip.ramBanks, 16u) << chip.name;
    }
    if (chip.familyCode == FAMILY_8X2X) {
      EXPECT_TRUE(banks8x2x.insert(chip.ramBanks).second) << chip.name;
      EXPECT_EQ(FindChipByBanks(FAMILY_8X2X, chip.ramBanks), &chip) << chip.name;
    }
    if (chip.familyCode == FAMILY_9XXX) {
      EXPECT_EQ(chip.ramBanks, 16u) << chip.name;
    }
    // package codes
    if (chip.familyCode == FAMILY_9XXX) {
      EXPECT_NE(chip.packageCodes, 0u) << chip.name;
      EXPECT_EQ(chip.packageCodes & 0xFFFF0000u, 0u) << chip.name;
      EXPECT_EQ(chip.packageCodes & packagesSeen, 0u) << chip.name;
      packagesSeen |= chip.packageCodes;
      for (uint32_t code = 0; code < 16; ++code) {
        if ((chip.packageCodes >> code) & 1u) {
          EXPECT_EQ(FindChipByPackage(code), &chip) << chip.name << " " << code;
        }
      }
    } else {
      EXPECT_EQ(chip.packageCodes, 0u) << chip.name;
    }
  }
  EXPECT_EQ(register250s.size(), 4u);
  EXPECT_EQ(banks8x2x.size(), 2u);
  // Values no row claims find nothing.
  EXPECT_EQ(FindChipByRegister250(0x7F), nullptr);
  EXPECT_EQ(FindChipByRegister250(kNoRegister250), nullptr);
  EXPECT_EQ(FindChipByBanks(FAMILY_8X2X, 5), nullptr);
  EXPECT_EQ(FindChipByBanks(FAMILY_9XXX, 3), nullptr);
  for (uint32_t code : {1u, 15u, 16u, 32u, 0xFFFFFFFFu}) {
    if (code < 32 && ((packagesSeen >> code) & 1u)) continue;
    EXPECT_EQ(FindChipByPackage(code), nullptr) << code;
  }
  EXPECT_STREQ(FindChipByPackage(14)->name, "LYR9362");
}

}  // namespace
}  // namespace tessaro
