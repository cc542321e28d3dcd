#include "definitions/PinList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaro {
namespace {

std::vector<PinSetting> Codes(const PinList& list) { return {list.pins.begin(), list.pins.begin() + list.count}; }

struct PinCase {
  const char* text;
  bool ok;
  std::vector<PinSetting> codes;
};

TEST(PinList, ParsesItemsAndStopsAtTheFirstBadOne) {
  const std::vector<PinCase> cases = {
      {"DFCS:0", true, {0x010}},
      {"SEL2=1, P7.15:0", true, {0x122, 0x0FF}},
      {"MK9:1, P3", true, {0x149, 0x063}},
      {"", true, {}},
      {" \t,, ", true, {}},
      {"dfcs sel14=1 row0,br1\tmk2", true, {0x010, 0x12E, 0x030, 0x051, 0x042}},
      {"SEL1ROW2P0", true, {0x021, 0x032, 0x060}},  // items need no separator
      {"spics0 SPICS2=1", true, {0x070, 0x172}},
      {"P0.0 p3.9=1 P1.05", true, {0x080, 0x1B9, 0x095}},
      {"SEL2:", true, {0x022}},  // a level mark without a level reads as 0
      {"P4", false, {}},         // single-digit ports are 0 to 3
      {"P8.1", false, {}},
      {"P7.16", false, {}},
      {"P1.", false, {}},
      {"SEL15", false, {}},
      {"ROW123", false, {0x03C}},  // two digits at most: ROW12, then a stray "3"
      {"SPICS3", false, {}},
      {"SPI", false, {}},
      {"DFCS, SEL2=x", false, {0x010, 0x022}},  // only the '=' is taken, then 'x' fails
      {"SEL2=2", false, {0x022}},
      {"DFCS;", false, {0x010}},
      {"MK", false, {}},
      {"\xC8SEL1", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PinList list;
    list.count = 7;  // parsing starts from an empty list
    EXPECT_EQ(ParsePinList(c.text, list), c.ok);
    EXPECT_EQ(Codes(list), c.codes);
  }
}

TEST(PinList, SixteenItemsStoreFifteenAndAreStillChecked) {
  std::string text;
  for (int i = 0; i < 16; ++i) text += "SEL" + std::to_string(i % 15) + " ";
  PinList list;
  ASSERT_TRUE(ParsePinList(text, list));
  ASSERT_EQ(list.count, 15);
  EXPECT_EQ(list.pins[14], 0x02E);
  EXPECT_FALSE(ParsePinList(text + "BAD", list));
  EXPECT_EQ(list.count, 15);
}

TEST(PinList, FormatsEveryKindOfCode) {
  PinList list;
  const std::vector<PinSetting> codes = {0x010, 0x122, 0x03E, 0x040, 0x15E, 0x063, 0x172, 0x080, 0x1FF, 0x005};
  list.count = static_cast<uint16_t>(codes.size());
  std::copy(codes.begin(), codes.end(), list.pins.begin());
  EXPECT_EQ(FormatPinList(list), "DFCS=0, SEL2=1, ROW14=0, MK0=0, BR14=1, P3=0, SPICS2=1, P0.0=0, P7.15=1, ??5=0");
  EXPECT_EQ(FormatPinList(PinList{}), "");
}

TEST(PinList, FormattedListReadsBackEqual) {
  for (const char* text : {"SEL2=1, P7.15:0", "DFCS mk14:1 br0 row3=1 p0 P2=1 spics1 P5.10=1"}) {
    SCOPED_TRACE(text);
    PinList list, again;
    ASSERT_TRUE(ParsePinList(text, list));
    const std::string formatted = FormatPinList(list);
    ASSERT_TRUE(ParsePinList(formatted, again)) << formatted;
    EXPECT_EQ(list, again);
  }
  PinList list;
  ASSERT_TRUE(ParsePinList("SEL2=1, P7.15:0", list));
  EXPECT_EQ(FormatPinList(list), "SEL2=1, P7.15=0");
}

}  // namespace
}  // namespace tessaro
