#include <gtest/gtest.h>

#include <cmath>

#include "common/Json.h"
#include "common/Text.h"

namespace tessaro {
namespace {

TEST(Text, HexForms) {
  EXPECT_EQ(Hex(0), "0");
  EXPECT_EQ(Hex(0xABCDEF), "ABCDEF");
  EXPECT_EQ(HexFixed(0x1F, 4), "001F");
  EXPECT_EQ(HexFixed(0x12345, 4), "2345");  // higher digits dropped
  EXPECT_EQ(HexFixed(VALUE_INVALID, 8), "????????");
  EXPECT_EQ(HexFixed(0xFFFFFFFFFFFFFFFFull, 16), "FFFFFFFFFFFFFFFF");
}

TEST(Text, ReadHex) {
  EXPECT_EQ(ReadHex("0x1f"), 0x1Fu);
  EXPECT_EQ(ReadHex("ABC"), 0xABCu);
  EXPECT_EQ(ReadHex(""), VALUE_INVALID);
  EXPECT_EQ(ReadHex("0x"), VALUE_INVALID);
  EXPECT_EQ(ReadHex("12G"), VALUE_INVALID);
  EXPECT_EQ(ReadHex(" 12"), VALUE_INVALID);
}

TEST(Text, ReadHexRefusesValuesWiderThan32Bits) {
  struct Case {
    const char* text;
    uint32_t value;
  };
  const Case cases[] = {
      {"FFFFFFFF", 0xFFFFFFFFu},
      {"0x0FFFFFFFF", 0xFFFFFFFFu},
      {"000000000010", 0x10u},
      {"100000000", VALUE_INVALID},
      {"100000010", VALUE_INVALID},
      {"0x1FFFFFFFF", VALUE_INVALID},
      {"FFFFFFFFFFFFFFFF0", VALUE_INVALID},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadHex(c.text), c.value) << c.text;
}

TEST(Text, CaseFoldingIsAsciiOnly) {
  EXPECT_TRUE(EqualsNoCase("LYR9468", "lyr9468"));
  EXPECT_FALSE(EqualsNoCase("\xC4", "\xE4"));  // Latin-1 letters stay distinct
  EXPECT_TRUE(EndsWithNoCase("board.bdl", ".BDL"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
}

TEST(Text, ShownLabelTextUnescapesDoubledAmpersands) {
  EXPECT_EQ(ShownLabelText("Demo&&Title Data"), "Demo&Title Data");
  EXPECT_EQ(ShownLabelText("a&&&&b"), "a&&b");
  EXPECT_EQ(ShownLabelText("a&b&"), "a&b&");
  EXPECT_EQ(ShownLabelText(""), "");
}

TEST(Json, EscapesControlAndHighBytes) {
  JsonWriter json(false);
  json.BeginObject()
      .Field("a", "x\"\r\n\x01\xE9")
      .Key("b")
      .BeginArray()
      .Number(-1)
      .Bool(true)
      .Null()
      .EndArray()
      .EndObject();
  EXPECT_EQ(json.str(), "{\"a\":\"x\\\"\\r\\n\\u0001\\u00E9\",\"b\":[-1,true,null]}");
}

// The layout scripts read: two-space indent, ": " after keys, empty containers closed on the
// same line, keys in the order written, six significant digits for fractions.
TEST(Json, PrettyLayoutAndNumbers) {
  JsonWriter json;
  json.BeginObject()
      .Field("z", 1)
      .Field("big", 18446744073709551615ull)
      .Key("list")
      .BeginArray()
      .Double(0.5)
      .Double(2.0)
      .Double(1.0 / 3.0)
      .Double(std::nan(""))
      .OptionalNumber(std::nullopt)
      .EndArray()
      .Key("empty")
      .BeginObject()
      .EndObject()
      .Key("none")
      .BeginArray()
      .EndArray()
      .EndObject();
  EXPECT_EQ(
      json.Finish(),
      "{\n  \"z\": 1,\n  \"big\": 18446744073709551615,\n  \"list\": [\n    0.5,\n    2,\n    0.333333,\n    null,\n"
      "    null\n  ],\n  \"empty\": {},\n  \"none\": []\n}\n");
  EXPECT_EQ(JsonWriter::Escape("a\\b\x7F\xFF"), "\"a\\\\b\\u007F\\u00FF\"");
}

}  // namespace
}  // namespace tessaro
