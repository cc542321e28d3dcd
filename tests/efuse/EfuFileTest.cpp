// The EFU file parser: numbers, every line rule and message, and that a file which fails to
// parse leaves nothing behind that a later burn could use.
#include <gtest/gtest.h>

#include <string>

#include "efuse/EfuFile.h"
#include "tests/definitions/TdfTestFolder.h"

namespace tessaro {
namespace {

EfuNumber Key(uint16_t w7, uint16_t w6, uint16_t w5, uint16_t w4, uint16_t w3, uint16_t w2, uint16_t w1, uint16_t w0) {
  return {w0, w1, w2, w3, w4, w5, w6, w7};
}

const EfuNumber kKey = Key(0x0011, 0x2233, 0x4455, 0x6677, 0x8899, 0xAABB, 0xCCDD, 0xEEFF);

TEST(EfuNumber, ParsesHexadecimalGroupsAndDecimalModulo128Bits) {
  struct Case {
    const char* text;
    bool ok;
    EfuNumber value;
  } cases[] = {
      {"0x00112233445566778899AABBCCDDEEFF", true, kKey},
      {"0x0011-2233-4455-6677-8899-AABB-CCDD-EEFF", true, kKey},
      {"0x0011 2233 4455 6677 8899 aabb ccdd eeff", true, kKey},
      {"0X0011.2233.4455.6677.8899.AABB.CCDD.EEFF", true, kKey},
      {"0x1234-", true, Key(0, 0, 0, 0, 0, 0, 0, 0x1234)},
      {"0xff", true, Key(0, 0, 0, 0, 0, 0, 0, 0xFF)},
      {"65537", true, Key(0, 0, 0, 0, 0, 0, 1, 1)},
      // 2^128 + 5 wraps to 5; 2^128 - 1 is all ones.
      {"340282366920938463463374607431768211461", true, Key(0, 0, 0, 0, 0, 0, 0, 5)},
      {"340282366920938463463374607431768211455", true,
       Key(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF)},
      // 33 hexadecimal digits: the top digit falls off.
      {"0x100112233445566778899AABBCCDDEEFF", true, kKey},
      {"0x123 4567", false, {}},
      {"0x1234--5678", false, {}},
      {"0x", false, {}},
      {"", false, {}},
      {"12a", false, {}},
      {"-1", false, {}},
      {" 1", false, {}},
      {"0xG", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EfuNumber value{};
    EXPECT_EQ(ParseEfuNumber(c.text, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

struct ParseCase {
  const char* name;
  const char* text;
  bool valid;
  const char* error;
  EfuData expected;  // compared whole when valid
};

EfuData Data(uint32_t flags, uint32_t watchdog, EfuNumber aes, uint32_t secured, uint32_t midi, uint32_t sss,
             uint32_t mc = 0, uint32_t serial = 0) {
  EfuData d;
  d.flags = flags;
  d.mc = mc;
  d.serialNumber = serial;
  d.watchdog = watchdog;
  d.aes = aes;
  d.secured = secured;
  d.midiOutEnable = midi;
  d.sssBootEnable = sss;
  d.valid = true;
  return d;
}

TEST(EfuFile, LinesAndMessages) {
  const ParseCase cases[] = {
      {"comments and blanks only", "; eFuses of the demo board\n\n   \t\n  ; indented comment\r\n", true, "",
       Data(0, 0, {}, 0, 0, 0)},
      {"every identifier",
       "MC = 0x12345\nSerialNumber=4294967298\nWatchDog = 5\n"
       "AES = 0x0011-2233-4455-6677-8899-AABB-CCDD-EEFF\nSecured=1\nMidiOutEnable=1\nSSSBootEnable = 7\n",
       true, "", Data(0x7F, 1, kKey, 1, 1, 1, 0x2345, 2)},
      {"options given as 0 add no flag", "Secured = 0\nWatchDog=0\nMidiOutEnable=0\nSSSBootEnable=0\nAES=0", true, "",
       Data(EFU_AES, 0, {}, 0, 0, 0)},
      {"repeat overwrites, flags only added", "Secured=1\nsecured=0\nAES=1\naes=2", true, "",
       Data(EFU_SECURED | EFU_AES, 0, Key(0, 0, 0, 0, 0, 0, 0, 2), 0, 0, 0)},
      {"case, blanks and trailing comment", "\t  wAtChDoG \t=\t 1 \t; on", true, "",
       Data(EFU_WATCHDOG, 1, {}, 0, 0, 0)},
      {"no equals sign", "AES 0x1234", false, "Invalid line: AES 0x1234", {}},
      {"line starting with =", "  = 5", false, "Missing Identifier: = 5", {}},
      {"nothing after =", "AES =   ; later", false, "Missing Assignment: AES", {}},
      {"group of three digits", "AES = 0x001 2233", false, "Invalid Number: 0x001 2233", {}},
      {"unknown identifier", "Serial = 1", false, "Invalid Keyword: Serial = 1", {}},
      {"bad line after good ones", "Secured=1\nSSSBootEnable=1\nAES=0x12x", false, "Invalid Number: 0x12x", {}},
      {"stops at the first bad line", "bad\nworse", false, "Invalid line: bad", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EfuData data = Data(0x7F, 1, kKey, 1, 1, 1);  // stale content must not survive
    std::string error;
    EXPECT_EQ(ParseEfuText(c.text, data, error), c.valid);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(data.valid, c.valid);
    // A failed file leaves the data empty: no flags, so no burn after firmware.
    EXPECT_EQ(data, c.valid ? c.expected : EfuData{});
  }
}

TEST(EfuFile, OnlyTheFirst511CharactersOfALineCount) {
  // The 512th character would make the number invalid; it is cut off first.
  std::string line = "MC=" + std::string(508, '1') + "x";
  ASSERT_EQ(line.size(), 512u);
  EfuData data;
  std::string error;
  EXPECT_TRUE(ParseEfuText(line, data, error)) << error;
  EXPECT_EQ(data.flags, static_cast<uint32_t>(EFU_MC));
}

TEST(EfuFile, ReadsFilesAndReportsAMissingOne) {
  testing::TdfTestFolder folder;
  folder.Write("board.efu", "AES=0x0011223344556677 8899AABBCCDDEEFF\nSecured=1\n");
  EfuData data;
  std::string error;
  ASSERT_TRUE(ParseEfuFile(folder.path() + "/board.efu", data, error)) << error;
  EXPECT_EQ(data.aes, kKey);
  EXPECT_EQ(data.flags, static_cast<uint32_t>(EFU_AES | EFU_SECURED));
  EXPECT_EQ(EfuKeyText(data.aes), "0011-2233-4455-6677-8899-AABB-CCDD-EEFF");
  EXPECT_EQ(EfuKeyHex(data.aes), "00112233445566778899AABBCCDDEEFF");

  error = "earlier\r\n";
  EXPECT_FALSE(ParseEfuFile(folder.path() + "/missing.efu", data, error));
  EXPECT_EQ(error, "earlier\r\nFile not found!");
  EXPECT_EQ(data, EfuData{});
}

}  // namespace
}  // namespace tessaro
