#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "chips/BoardConfig.h"
#include "fuzz/BoardConfigRoundTrip.h"

namespace tessaro {
namespace {

BoardConfig Parse(std::string_view text, ConfigParseResult* result = nullptr) {
  BoardConfig config = InitBoardConfig();
  ConfigParseResult r = ParseBoardConfig(config, text);
  if (result) *result = r;
  return config;
}

TEST(BoardConfig, DefaultsPerFamily) {
  BoardConfig config = InitBoardConfig();
  EXPECT_EQ(config.chip, DefaultChip());
  EXPECT_EQ(config.mode, MEM_INTRAM);
  EXPECT_EQ(config.ext1Size, 19u);
  EXPECT_EQ(config.sdram, 9u);
  EXPECT_EQ(config.ext2WaitA, 12u);
  EXPECT_EQ(config.ext2WaitB, 4u);

  struct Case {
    const char* chip;
    uint32_t requested;
    uint32_t mode;
  } cases[] = {{"LYR7312", MEM_FLASH, MEM_COM},   {"LYR7431", MEM_INTRAM, MEM_INTRAM}, {"LYR8321", MEM_CACHE, MEM_COM},
               {"LYR8721", MEM_COM, MEM_FLASH},   {"LYR8721", MEM_INTRAM, MEM_INTRAM}, {"LYR8247", MEM_COM, MEM_FLASH},
               {"LYR8247", MEM_CACHE, MEM_CACHE}, {"LYR9162", MEM_FLASH, MEM_INTRAM}};
  for (const Case& c : cases) {
    BoardConfig record;
    record.chip = FindChipByName(c.chip);
    record.osc2 = 3;
    ASSERT_TRUE(ApplyDefaults(record, c.requested));
    EXPECT_EQ(record.mode, c.mode) << c.chip << " " << c.requested;
    EXPECT_EQ(record.osc2, 0u);
  }
  BoardConfig none;
  EXPECT_FALSE(ApplyDefaults(none, MEM_FLASH));
  EXPECT_EQ(FormatBoardConfig(none), "");
}

TEST(BoardConfig, ParseAndFormat) {
  struct Case {
    const char* text;
    bool ok;
    size_t stop;
    const char* formatted;
  } cases[] = {
      {"LYR9162", true, 0, "LYR9162 INTRAM(16k)"},
      {"LYR9468", true, 0, "LYR9468 INTRAM(32k)"},
      {"LYR8247", true, 0, "LYR8247 FLASH"},
      {"LYR8247 FLASH+EXTMEM", true, 0, "LYR8247 FLASH+EXTMEM"},
      {"LYR7312", true, 0, "LYR7312"},
      {"LYR7312 FLASH", true, 0, "LYR7312 FLASH"},
      {"LYR9162 FLASH(12k)", false, 8, "LYR9162 FLASH(16k)"},
      {"LYR8321 FLASH(16k)", false, 8, "LYR8321 FLASH"},
      {"LYR9999 FLASH", false, 0, "LYR9468 INTRAM(32k)"},
      {"LYR9468 FLASH COM+EXTNOR(4M)", true, 0, "LYR9468 FLASH(32k)"},
      {"LYR9468 FLASH+EXTNOR(4M,8/4WS)+EXTSDR(32M,CL3/Row13/Col9)", true, 0,
       "LYR9468 FLASH(32k)+EXTNOR(4M,8/4WS)+EXTSDR(32M,CL3/Row13/Col9)"},
      {"LYR9162 FLASH(16k,Host)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(4M,8/4WS)", true, 0,
       "LYR9162 FLASH(16k,Host)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(4M,8/4WS)"},
      {"LYR8247 FLASH+EXTMEM(2x8Mib)", true, 0, "LYR8247 FLASH+EXTMEM(2x8Mib)"},
      {"LYR8247 FLASH+EXTSDR(4x512Mib)", true, 0, "LYR8247 FLASH+EXTSDR(4x512Mib)"},
      {"LYR8247 FLASH+EXTMEM(4x512Mib)", true, 0, "LYR8247 FLASH+EXTMEM(Invalid XCSDEC=7)"},
      {"LYR8247 FLASH+EXTMEM(2x1Gib,5WS)+EXTDDR(3WS)", true, 0, "LYR8247 FLASH+EXTMEM(2x1Gib,5WS)+EXTDDR(3WS)"},
      {"LYR8247 FLASH+EXTMEM(3x8Mib)", false, 14, "LYR8247 FLASH+EXTMEM"},
      {"LYR8247 FLASH+EXTMEM+EXTMEM(5WS)+EXTMEM", false, 33, "LYR8247 FLASH+EXTMEM+EXTMEM(5WS)"},
      {"LYR8247 FLASH+EXTMEM(4WS)+EXTSDR(2x8Mib)", false, 26, "LYR8247 FLASH+EXTMEM(4WS)+EXTSDR"},
      {"LYR9571 CACHE(8k,4k,Mem200,Nand,Sync,NoSdrInit,Class2,Slow,OSC2:0,junk)", true, 0,
       "LYR9571 CACHE(8k,4k,Mem200,Nand,Sync,NoSdrInit,Class2,Slow,OSC2:0)"},
      {"lyr9468 flash+extram(1M)+1:extnand(128M)", true, 0,
       "LYR9468 FLASH(32k)+EXTMEM(1M,8/8WS)+1:EXTNAND(128M,8/8WS)"},
      {"LYR9468 INTRAM+EXTRAM(2M,XIO,3/4WS)", true, 0, "LYR9468 INTRAM(32k)+EXTMEM(2M,XIO,3/4WS)"},
      {"LYR9468 FLASH+EXTNOR(8/4WS,XIO)", true, 0, "LYR9468 FLASH(32k)+EXTNOR(512k,XIO,8/4WS)"},
      {"LYR9468 FLASH+EXTSDR(32M,CL4/Row13/Col9)", false, 14, "LYR9468 FLASH(32k)"},
      {"LYR9468 FLASH+EXTFOO", false, 14, "LYR9468 FLASH(32k)"},
      {"LYR9468 FLASH+EXTNOR(abc)", false, 14, "LYR9468 FLASH(32k)"},
      {"LYR9468 BOOT", false, 8, "LYR9468 INTRAM(32k)"},
      {"LYR8721 FLASH INTRAM", true, 0, "LYR8721 FLASH+INTRAM"},
      {"LYR7431 FLASH+EXTNOR(4M)", true, 0, "LYR7431 FLASH"},
      // Bytes 0xC9/0xCA bracket a list and 0xCD separates items.
      {"LYR9468 FLASH\xC9"
       "8k\xCDSync\xCA",
       true, 0, "LYR9468 FLASH(8k,Sync)"},
      {"LYR8247 FLASH+EXTMEM\xC9"
       "2x8MIB\xCA",
       true, 0, "LYR8247 FLASH+EXTMEM(2x8Mib)"},
      {"LYR8247 FLASH+EXTMEM\xC9"
       "2x8Mib\xCA",
       false, 14, "LYR8247 FLASH+EXTMEM(2x8Mib)"},
  };
  for (const Case& c : cases) {
    ConfigParseResult result;
    BoardConfig config = Parse(c.text, &result);
    EXPECT_EQ(result.ok, c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(result.stop, c.stop) << c.text;
    }
    EXPECT_EQ(FormatBoardConfig(config), c.formatted) << c.text;
  }
}

TEST(BoardConfig, FieldsOfParsedRecords) {
  BoardConfig moved = Parse("LYR9468 FLASH+EXTNOR(4M,8/4WS)+EXTSDR(32M,CL3/Row13/Col9)");
  EXPECT_EQ(moved.ext1Kind, EXT_SDRAM);
  EXPECT_EQ(moved.ext1Size, 25u);
  EXPECT_EQ(moved.ext2Kind, EXT_NOR);
  EXPECT_EQ(moved.ext2Size, 22u);
  EXPECT_EQ(moved.ext2WaitA, 8u);
  EXPECT_EQ(moved.ext2WaitB, 4u);
  EXPECT_TRUE(moved.ext2First);
  EXPECT_EQ(moved.sdram, 0x29u);

  BoardConfig xio = Parse("LYR9468 FLASH+EXTNOR(8/4WS,XIO)");
  EXPECT_TRUE(xio.ext1Xio);
  EXPECT_EQ(xio.ext1WaitA, 8u);
  EXPECT_EQ(xio.ext1WaitB, 4u);

  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(512k)").ext1Size, 19u);
  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(1M)").ext1Size, 20u);
  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(16k)").ext1Size, 14u);
  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(15k)").ext1Size, 19u);
  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(512K)").ext1Size, 19u);  // upper-case K is no unit
  EXPECT_EQ(Parse("LYR9468 FLASH+EXTMEM(2M,512K)").ext1Size, 21u);

  BoardConfig small = Parse("LYR9162 FLASH(40k,2k,OSC2:2)");
  EXPECT_EQ(small.internalSplit, 2u);
  EXPECT_EQ(small.internalExtra, 2048u);
  EXPECT_EQ(small.osc2, 3u);

  BoardConfig devices = Parse("LYR8247 FLASH+EXTSDR(4x512Mib,3WS)");
  EXPECT_EQ(devices.mode, MEM_FLASH_EXT);
  EXPECT_EQ(devices.ext1Kind, 2u);
  EXPECT_EQ(devices.ext2Kind, 3u);
  EXPECT_EQ(devices.nandOrHost, 3u + (7u << 2));
}

TEST(BoardConfig, OverlongTokensAreRefusedNotCut) {
  ConfigParseResult result;
  std::string longToken = "LYR9468 FLASH+EXTNOR(4M," + std::string(200, '8') + "/4WS)";
  BoardConfig config = Parse(longToken, &result);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.stop, 14u);
  EXPECT_EQ(config.ext1Kind, EXT_NONE);
  Parse(std::string(300, 'L'), &result);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.stop, 0u);
  // An embedded NUL ends the text as it would a stored C string.
  config = Parse(std::string("LYR9468 FLASH\0+EXTNOR(4M)", 25), &result);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(config.ext1Kind, EXT_NONE);
}

// Records whose text the formatter writes differently from the plain rules, so that they
// still read back the same.
TEST(BoardConfig, RoundTripOfEdgeRecords) {
  const char* texts[] = {
      "LYR9468 COM",  // COM on a family whose default is not COM
      "LYR8721 COM",
      "LYR8247 COM",
      "LYR9468 FLASH INTRAM(56k,Sync)",               // FLASH+INTRAM carries the list after INTRAM
      "LYR9468 FLASH+EXTSDR(32M,3/5WS)",              // wait values on an SDRAM still reach register 24
      "LYR9468 FLASH+EXTSDR(32M)+EXTNONE(4M,3/3WS)",  // a second memory of kind none still sets its fields
      "LYR9468 FLASH+1:EXTNONE",
      "LYR8247 FLASH 2x8Mib",  // a bare device token keeps the mode at FLASH
      "LYR8247 FLASH+2x16Mib+EXTSDR(6WS)",
      "LYR9468 FLASH+1:EXTNOR(4M)+EXTNOR(2M)+EXTNOR(1M)",
      "LYR9468 FLASH+1:EXTBAD",  // a refused second memory sets nothing  // two NORs, the second written first
      "LYR9468 FLASH(8k,4k,Mem200,Nand,Sync,NoSdrInit)+INTRAM(Class2,Slow,OSC2:3)",  // a long mode list
  };
  for (const char* text : texts) EXPECT_EQ(CheckRoundTrip(text), "") << text;
  EXPECT_EQ(FormatBoardConfig(Parse("LYR9468 COM")), "LYR9468 COM(32k)");
  EXPECT_EQ(FormatBoardConfig(Parse("LYR8247 FLASH 2x8Mib")), "LYR8247 FLASH+2x8Mib");
}

// Random texts from the grammar's own pieces, valid and not: whatever record the parser
// leaves must survive formatting and parsing again.
TEST(BoardConfig, RoundTripHoldsForGeneratedTexts) {
  const std::vector<std::string> chips = {"LYR7312", "LYR7451", "LYR8326", "LYR8721", "LYR8247", "LYR8647",
                                          "LYR9162", "LYR9362", "LYR9371", "LYR9468", "LYR9571"};
  const std::vector<std::string> modes = {"FLASH", "INTRAM", "CACHE", "COM", "flash", "BOOT", ""};
  const std::vector<std::string> modeItems = {"4k",        "8k",     "16k",    "32k",    "40k",    "56k",
                                              "2k",        "12k",    "Mem200", "Host",   "Nand",   "Sync",
                                              "NoSdrInit", "Class2", "Slow",   "OSC2:1", "OSC2:7", ""};
  const std::vector<std::string> words = {"EXTNOR",  "EXTSDR",   "EXTDDR",    "EXTMEM",    "EXT",
                                          "EXTRAM",  "EXTQSRAM", "EXTNONE",   "1:EXTNOR",  "1:EXTNAND",
                                          "EXTNAND", "EXTQNOR",  "1:EXTQNOR", "1:EXTNONE", "2x8Mib",
                                          "4x64Mib", "INTRAM",   "COM",       "BAD"};
  const std::vector<std::string> memItems = {"4M",
                                             "32M",
                                             "1G",
                                             "512k",
                                             "16k",
                                             "3M",
                                             "XIO",
                                             "8/4WS",
                                             "3/5WS",
                                             "20WS",
                                             "CL3/Row13/Col9",
                                             "CL2/Row14/Col11",
                                             "2x8Mib",
                                             "4x512Mib",
                                             "2x1Gib",
                                             "4WS",
                                             "9WS",
                                             "7",
                                             ""};
  std::mt19937 random(12345);
  auto pick = [&random](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  for (int n = 0; n < 20000; ++n) {
    std::string text = pick(chips);
    if (random() % 8) {
      text += " " + pick(modes);
      if (random() % 2) {
        text += "(";
        for (int i = random() % 4; i >= 0; --i) text += pick(modeItems) + (i ? "," : "");
        text += ")";
      }
      for (int m = random() % 4; m > 0; --m) {
        text += (random() % 5 ? "+" : " ") + pick(words);
        if (random() % 3) {
          text += "(";
          for (int i = random() % 3; i >= 0; --i) text += pick(memItems) + (i ? "," : "");
          text += ")";
        }
      }
    }
    ASSERT_EQ(CheckRoundTrip(text), "") << text;
  }
}

TEST(BoardConfig, RegisterValues) {
  BoardConfig config = Parse("LYR9162 FLASH(16k,Host)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(4M,8/4WS)");
  struct Case {
    uint32_t reg;
    uint16_t value;
  } cases[] = {{8, 0x1789},  {9, 0x7FFF},  {11, 0x373},  {12, 0xFFFF}, {13, 0x0800}, {19, 0x04},
               {20, 0x4036}, {21, 0x900},  {22, 0x1120}, {23, 0x3309}, {24, 0x3777}, {25, 0xDB7B},
               {26, 0x09C6}, {27, 0x2BF3}, {64, 0x1204}, {103, 0x14},  {107, 0x14},  {10, 0}};
  for (const Case& c : cases) EXPECT_EQ(ConfigRegisterValue(config, c.reg), c.value) << "register " << c.reg;

  BoardConfig ddr = Parse("LYR9468 FLASH(32k,Mem200,Sync,Class2,Slow)+EXTDDR(64M,CL3/Row12/Col10)+1:EXTQNOR(16M,XIO)");
  EXPECT_EQ(ConfigRegisterValue(ddr, 8), 0x4F80);
  EXPECT_EQ(ConfigRegisterValue(ddr, 9), 0x4000);
  EXPECT_EQ(ConfigRegisterValue(ddr, 11), 0x3F8);
  EXPECT_EQ(ConfigRegisterValue(ddr, 19), 0x18);
  EXPECT_EQ(ConfigRegisterValue(ddr, 20), 0x4257);
  EXPECT_EQ(ConfigRegisterValue(ddr, 21), 0x940);
  EXPECT_EQ(ConfigRegisterValue(ddr, 22), 0x111F);
  EXPECT_EQ(ConfigRegisterValue(ddr, 23), 0x2236);
  EXPECT_EQ(ConfigRegisterValue(ddr, 25), 0xDB66);
  EXPECT_EQ(ConfigRegisterValue(ddr, 26), 0x09CB);
  EXPECT_EQ(ConfigRegisterValue(ddr, 27), 0x57E8);

  EXPECT_EQ(ConfigRegisterValue(Parse("LYR8721"), 64), 0);
  // 8x47: wait states, device count and DDR flag in the memory configuration word.
  EXPECT_EQ(MemoryConfigWord(Parse("LYR8247")), 0x1C | 0xE0);
  EXPECT_EQ(MemoryConfigWord(Parse("LYR8247 FLASH+EXTMEM(2x8Mib,5WS)+EXTDDR")), 0x8000 | (2 << 8) | 0x10 | 0xE2);
  EXPECT_EQ(MemoryConfigWord(Parse("LYR9468 FLASH+EXTMEM(1M)+EXTNOR(4M)")), 0x05);
  EXPECT_EQ(MemoryConfigWord(Parse("LYR9468 FLASH+EXTNONE+EXTMEM(1M)")), 0x21);
  EXPECT_EQ(MemoryConfigWord(Parse("LYR9468")), 0x07);
  EXPECT_EQ(MemoryConfigWord(Parse("LYR7312")), 0);
}

}  // namespace
}  // namespace tessaro
