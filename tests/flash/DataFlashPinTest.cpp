// The DataFlash driver's pin rules: what each board pin setting decodes to on each chip
// family, and how SetDevice combines the enable and disable lists.
#include <gtest/gtest.h>

#include "chips/ChipCatalogue.h"
#include "definitions/PinList.h"
#include "flash/FlashDriverDF.h"

namespace tessaro {
namespace {

PinSetting Setting(const char* text) {
  PinList list;
  EXPECT_TRUE(ParsePinList(text, list)) << text;
  EXPECT_EQ(list.count, 1) << text;
  return list.pins[0];
}

struct DecodeCase {
  const char* chip;
  PinSetting setting;
  const char* error;  // "" when the pin decodes
  ChipSelectPin pin;
};

TEST(DataFlashPins, DecodeFollowsEachFamilysRules) {
  const DecodeCase cases[] = {
      {"LYR8547", Setting("P0.9:0"), "", {8, 0x8009, 32, 0x8001, 12, 0x8109}},
      {"LYR8547", Setting("P1.3:1"), "", {9, 0x8103, 33, 0x8103, 13, 0x8103}},
      {"LYR8547", Setting("P4.2:0"), "", {16, 0x8002, 34, 0x810F, 17, 0x8102}},
      {"LYR8547", Setting("P7.15:0"), "P7.15 can't be used on LYR8547", {}},
      {"LYR8547", Setting("P0.15:0"), "P0.15 can't be used on LYR8547", {}},
      {"LYR9468", Setting("P7.15:0"), "", {0xE7, 0x800F, 11, 0x8005, 0x77, 0x810F}},
      {"LYR9468", Setting("P2.3:1"), "", {0xE2, 0x8103, 0, 0, 0x72, 0x8103}},
      {"LYR9468", Setting("SPICS1"), "", {0, 0, 13, 0x8107, 0, 0}},
      {"LYR9468", PinSetting{0x74}, "Invalid SPICS Number", {}},
      {"LYR9468", Setting("SEL0=1"), "", {0x0C000000, 0x810F, 0, 0, 0x0C000002, 0xC10F}},
      {"LYR9468", Setting("SEL1=0"), "", {0x0C000001, 0x800F, 0, 0, 0x0C000003, 0xC10F}},
      {"LYR9468", Setting("ROW2=0"), "", {0x0C000000, 0x800D, 0, 0, 0x0C000002, 0xC10D}},
      {"LYR9468", Setting("MK10=1"), "", {0x0C000001, 0x810A, 0, 0, 0x0C000003, 0xC10A}},
      {"LYR9468", Setting("MK11=1"), "MK11 can't be used on LYR9468", {}},
      {"LYR9468", Setting("SEL2=1"), "SEL2 can't be used on LYR9468", {}},
      {"LYR8247", Setting("BR4=0"), "", {0x0C000000, 0x8004, 0, 0, 0x0C000002, 0xC104}},
      {"LYR8547", Setting("SEL0=1"), "SELx, ROWx, MKx and BRx only available on LYR8247, LYR8347 and LYR9xxx", {}},
      {"LYR9468", Setting("DFCS"), "DFCS only available on LYR8x2x", {}},
      {"LYR8326", Setting("DFCS=1"), "", {9, 0x8005, 0, 0x810B, 13, 0x8105}},
      {"LYR8326", Setting("P1.7:0"), "", {9, 0x8007, 0, 0x810C, 13, 0x8107}},
      {"LYR8326", Setting("P1.4:0"), "", {9, 0x8004, 0, 0x810A, 13, 0x8104}},
      {"LYR8326", Setting("P1.12:0"), "P1.12 can't be used on LYR8326", {}},
      {"LYR8721", Setting("P0.14:1"), "", {8, 0x810E, 0, 0, 12, 0x810E}},
      {"LYR8721", Setting("P3.0:1"), "P3.0 can't be used on LYR8721", {}},
      {"LYR7431", Setting("P2:1"), "", {1, 0x8102, 0, 0, 0, 0x8102}},
      {"LYR9468", Setting("P2:1"), "Px only available on LYR74xx", {}},
      {"LYR7431", Setting("P0.1:1"), "P0.1 can't be used on LYR7431", {}},
      {"LYR7312", Setting("P0.1:1"), "DF communication not implemented on LYR7312", {}},
  };
  for (const DecodeCase& c : cases) {
    const ChipInfo* chip = FindChipByName(c.chip);
    ASSERT_NE(chip, nullptr) << c.chip;
    ChipSelectPin pin;
    std::string error;
    const bool ok = DecodePinSetting(*chip, c.setting, pin, error);
    const std::string where = std::string(c.chip) + " setting 0x" + std::to_string(c.setting);
    EXPECT_EQ(error, c.error) << where;
    EXPECT_EQ(ok, std::string(c.error).empty()) << where;
    if (!ok) continue;
    EXPECT_EQ(pin.dataRegister, c.pin.dataRegister) << where;
    EXPECT_EQ(pin.code, c.pin.code) << where;
    EXPECT_EQ(pin.selectRegister, c.pin.selectRegister) << where;
    EXPECT_EQ(pin.selectCode, c.pin.selectCode) << where;
    EXPECT_EQ(pin.directionRegister, c.pin.directionRegister) << where;
    EXPECT_EQ(pin.directionCode, c.pin.directionCode) << where;
  }
}

TEST(DataFlashPins, SetDeviceGivesIdleLevelsFromBothLists) {
  const ChipInfo* chip = FindChipByName("LYR9468");
  ASSERT_NE(chip, nullptr);
  DataFlashDescription device;
  device.type = 3;
  device.sizeBytes = 0x80000;
  device.pageSize = 264;
  PinList enable, disable;
  ASSERT_TRUE(ParsePinList("SEL0=1, P7.15:0", enable));
  ASSERT_TRUE(ParsePinList("SEL0=1", disable));
  FlashDriverDF driver;
  std::string error;
  ASSERT_TRUE(driver.SetDevice(device, enable, disable, chip, error)) << error;
  EXPECT_TRUE(driver.ready);
  ASSERT_EQ(driver.selectList.size(), 2u);
  EXPECT_EQ(driver.selectList[0].code, 0x830F);     // active high, idle high from the disable list
  EXPECT_EQ(driver.selectList[1].code, 0x820F);     // active low idles high
  EXPECT_EQ(driver.DeviceSize(), 2048u * 264 / 2);  // 2048 pages of 264 bytes, in words

  ASSERT_TRUE(ParsePinList("P7.14:1", disable));
  EXPECT_FALSE(driver.SetDevice(device, enable, disable, chip, error));
  EXPECT_EQ(error, "Some Port in Disable-List not in Enable-List");
  EXPECT_FALSE(driver.ready);
  EXPECT_TRUE(driver.selectList.empty());

  error.clear();
  ASSERT_TRUE(ParsePinList("P7.15:0", enable));
  EXPECT_FALSE(driver.SetDevice(device, enable, PinList{}, FindChipByName("LYR8547"), error));
  EXPECT_EQ(error, "P7.15 can't be used on LYR8547");
  EXPECT_FALSE(driver.ready);
}

}  // namespace
}  // namespace tessaro
